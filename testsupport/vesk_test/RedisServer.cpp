#include "RedisServer.hpp"

#include <vesk2vidra/RedisConnection.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>
#include <stdexcept>
#include <thread>

namespace vesk2vidra_test {

namespace {

int FreePort(int type) {
  const int fd = socket(AF_INET, type, 0);
  if (fd < 0) {
    throw std::runtime_error("socket failed");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("bind failed");
  }
  close(fd);
  return ntohs(address.sin_port);
}

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

int FreeTcpPort() {
  return FreePort(SOCK_STREAM);
}
int FreeUdpPort() {
  return FreePort(SOCK_DGRAM);
}

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

void RedisServer::Restart() {
  Kill();
  Start();
}

}  // namespace vesk2vidra_test
