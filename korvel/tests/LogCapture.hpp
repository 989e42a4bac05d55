#pragma once
// Collects the WARN (and higher) lines of the "korvel" logger during a test.

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <string>
#include <vector>

namespace korvel::test {

class CaptureAppender final : public log4cplus::Appender {
 public:
  CaptureAppender() = default;
  ~CaptureAppender() override { destructorImpl(); }
  void close() override {}
  std::vector<std::string> lines;

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& event) override {
    if (event.getLogLevel() >= log4cplus::WARN_LOG_LEVEL) lines.push_back(event.getMessage());
  }
};

class LogCapture {
 public:
  LogCapture() : m_logger(log4cplus::Logger::getInstance("korvel")), m_appender(new CaptureAppender) {
    m_logger.addAppender(m_appender);
    m_logger.setLogLevel(log4cplus::TRACE_LOG_LEVEL);
  }
  ~LogCapture() { m_logger.removeAppender(m_appender); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  const std::vector<std::string>& Lines() const { return static_cast<CaptureAppender&>(*m_appender).lines; }

 private:
  log4cplus::Logger m_logger;
  log4cplus::SharedAppenderPtr m_appender;
};

}  // namespace korvel::test
