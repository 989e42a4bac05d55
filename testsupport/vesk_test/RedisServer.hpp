#pragma once
// A private redis-server on a free loopback port, stopped by its PID.

#include <vesk_test/ChildProcess.hpp>
#include <vesk_test/Ports.hpp>

#include <memory>
#include <string>

namespace vesk_test {

// Path of redis-server, or empty when it is not installed.
std::string FindRedisServer();

class RedisServer {
 public:
  // Starts redis-server on 127.0.0.1 and a free port (or on `port` when not
  // 0) and waits until it answers PING. Throws std::runtime_error otherwise.
  explicit RedisServer(int port = 0);
  ~RedisServer();

  int Port() const { return m_port; }
  std::string Uri() const { return "redis://127.0.0.1:" + std::to_string(m_port); }
  pid_t Pid() const { return m_process ? m_process->Pid() : -1; }

  // Kills the server (SIGKILL, as a crash would) and reaps it.
  void Kill();
  // Stops the server as an operator does (SIGTERM: it closes its client
  // connections and exits) and reaps it.
  void Stop();
  // Starts it again on the same port.
  void Restart();

 private:
  void Start();
  int m_port;
  std::unique_ptr<ChildProcess> m_process;
};

}  // namespace vesk_test
