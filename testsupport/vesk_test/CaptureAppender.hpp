#pragma once
// Log capture for tests: an appender that keeps the text and level of every
// event appended to it, readable from any thread, and a scope that attaches
// one to a logger.

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace vesk_test {

class CaptureAppender final : public log4cplus::Appender {
 public:
  ~CaptureAppender() override { destructorImpl(); }
  void close() override {}

  std::vector<std::string> Messages() const {
    return Select([](log4cplus::LogLevel) { return true; });
  }
  std::vector<std::string> MessagesAt(log4cplus::LogLevel level) const {
    return Select([level](log4cplus::LogLevel l) { return l == level; });
  }
  // The messages at `level` and above.
  std::vector<std::string> MessagesFrom(log4cplus::LogLevel level) const {
    return Select([level](log4cplus::LogLevel l) { return l >= level; });
  }
  bool Contains(const std::string& text) const {
    const auto messages = Messages();
    return std::any_of(messages.begin(), messages.end(),
                       [&](const std::string& m) { return m.find(text) != std::string::npos; });
  }

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& event) override {
    std::lock_guard lock(m_mutex);
    m_events.push_back({event.getLogLevel(), event.getMessage()});
  }

 private:
  struct Event {
    log4cplus::LogLevel level;
    std::string message;
  };
  template <typename Keep>
  std::vector<std::string> Select(Keep keep) const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> out;
    for (const Event& e : m_events) {
      if (keep(e.level)) out.push_back(e.message);
    }
    return out;
  }

  mutable std::mutex m_mutex;
  std::vector<Event> m_events;
};

// Attaches a CaptureAppender to `logger` at `level` for its lifetime; then
// removes it and gives the logger its level back.
class LogCapture {
 public:
  LogCapture(log4cplus::Logger logger, log4cplus::LogLevel level)
      : m_logger(std::move(logger)), m_old_level(m_logger.getLogLevel()) {
    m_logger.addAppender(m_appender);
    m_logger.setLogLevel(level);
  }
  ~LogCapture() {
    m_logger.setLogLevel(m_old_level);
    m_logger.removeAppender(m_appender);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Messages() const { return m_capture->Messages(); }
  std::vector<std::string> MessagesAt(log4cplus::LogLevel level) const { return m_capture->MessagesAt(level); }
  std::vector<std::string> MessagesFrom(log4cplus::LogLevel level) const { return m_capture->MessagesFrom(level); }
  bool Contains(const std::string& text) const { return m_capture->Contains(text); }

 private:
  log4cplus::Logger m_logger;
  log4cplus::LogLevel m_old_level;
  CaptureAppender* m_capture = new CaptureAppender();  // owned by m_appender
  log4cplus::SharedAppenderPtr m_appender{m_capture};
};

}  // namespace vesk_test
