#pragma once
// A log4cplus appender for tests: keeps the text of every event appended to
// it, readable from any thread.

#include <log4cplus/appender.h>
#include <log4cplus/spi/loggingevent.h>

#include <mutex>
#include <string>
#include <vector>

namespace vesk_test {

class CaptureAppender : public log4cplus::Appender {
 public:
  ~CaptureAppender() override { destructorImpl(); }
  void close() override {}
  std::vector<std::string> Messages() {
    std::lock_guard lock(m_mutex);
    return m_messages;
  }

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& event) override {
    std::lock_guard lock(m_mutex);
    m_messages.push_back(event.getMessage());
  }

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_messages;
};

}  // namespace vesk_test
