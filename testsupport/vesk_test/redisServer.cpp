#include "RedisServer.hpp"

#include <vesk2vidra/RedisConnection.hpp>

#include <unistd.h>
#include <csignal>
#include <stdexcept>
#include <thread>

namespace vesk_test {

namespace {

// The process id of the Redis server answering on `port`, or -1.
long ServerPid(int port) {
  try {
    ketra::vesktools::vesk2vidra::BrokerAddress address;
    address.host = "127.0.0.1";
    address.port = port;
    address.masked_uri = "redis://127.0.0.1:" + std::to_string(port);
    ketra::vesktools::vesk2vidra::RedisConnection connection(address, std::chrono::milliseconds(200),
                                                             std::chrono::milliseconds(500));
    const auto reply = connection.Command({"INFO", "server"});
    const std::string info(ketra::vesktools::vesk2vidra::Text(reply.Get()));
    const auto at = info.find("process_id:");
    return at == std::string::npos ? -1 : std::stol(info.substr(at + 11));
  } catch (const std::exception&) {
    return -1;
  }
}

}  // namespace

std::string FindRedisServer() {
  for (const char* path : {"/usr/bin/redis-server", "/usr/local/bin/redis-server", "/usr/sbin/redis-server"}) {
    if (access(path, X_OK) == 0) {
      return path;
    }
  }
  return {};
}

RedisServer::RedisServer(int port) : m_port(port) {
  const bool pick = port == 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (pick) {
      m_port = FreeTcpPort();
    }
    try {
      Start();
      return;
    } catch (const std::exception&) {
      if (!pick || attempt == 4) {
        throw;
      }
    }
  }
}

RedisServer::~RedisServer() {
  Kill();
}

void RedisServer::Start() {
  const std::string binary = FindRedisServer();
  if (binary.empty()) {
    throw std::runtime_error("redis-server is not installed");
  }
  m_process = std::make_unique<ChildProcess>(
      std::vector<std::string>{binary, "--port", std::to_string(m_port), "--bind", "127.0.0.1", "--save", "",
                               "--appendonly", "no", "--daemonize", "no", "--loglevel", "warning"});
  for (int i = 0; i < 100; ++i) {
    // Another server on the same port would answer too: check it is ours.
    if (ServerPid(m_port) == m_process->Pid()) {
      return;
    }
    if (!m_process->Running()) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  m_process.reset();
  throw std::runtime_error("redis-server did not start on port " + std::to_string(m_port));
}

void RedisServer::Kill() {
  if (m_process) {
    m_process->Stop(SIGKILL, std::chrono::seconds(5));
    m_process.reset();
  }
}

void RedisServer::Stop() {
  if (m_process) {
    m_process->Stop(SIGTERM, std::chrono::seconds(10));
    m_process.reset();
  }
}

void RedisServer::Restart() {
  Kill();
  Start();
}

}  // namespace vesk_test
