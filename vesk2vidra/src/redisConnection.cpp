#include <vesk2vidra/RedisConnection.hpp>

#include "RespRequest.hpp"

#include <fmt/format.h>
#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <cerrno>
#include <system_error>

namespace ketra::vesktools::vesk2vidra {

namespace {

timeval ToTimeval(std::chrono::milliseconds ms) {
  timeval tv{};
  tv.tv_sec = static_cast<decltype(tv.tv_sec)>(ms.count() / 1000);
  tv.tv_usec = static_cast<decltype(tv.tv_usec)>((ms.count() % 1000) * 1000);
  return tv;
}

}  // namespace

void RedisReply::Free::operator()(redisReply* reply) const {
  freeReplyObject(reply);
}
void RedisConnection::Free::operator()(redisContext* context) const {
  redisFree(context);
}

bool IsArray(const redisReply* reply) {
  return reply != nullptr && reply->type == REDIS_REPLY_ARRAY;
}
bool IsNil(const redisReply* reply) {
  return reply == nullptr || reply->type == REDIS_REPLY_NIL;
}
std::size_t ElementCount(const redisReply* reply) {
  return IsArray(reply) ? reply->elements : 0;
}

const redisReply* Element(const redisReply* reply, std::size_t index) {
  if (index >= ElementCount(reply)) {
    throw std::runtime_error(fmt::format("Broker reply has no element {}", index));
  }
  return reply->element[index];
}

std::string_view Text(const redisReply* reply) {
  if (reply == nullptr || (reply->type != REDIS_REPLY_STRING && reply->type != REDIS_REPLY_STATUS)) {
    throw std::runtime_error("Broker reply is not a string");
  }
  return {reply->str, reply->len};
}

long long Integer(const redisReply* reply) {
  if (reply == nullptr || reply->type != REDIS_REPLY_INTEGER) {
    throw std::runtime_error("Broker reply is not an integer");
  }
  return reply->integer;
}

RedisConnection::RedisConnection(const BrokerAddress& address, std::chrono::milliseconds connect_timeout,
                                 std::chrono::milliseconds io_timeout)
    : m_address(address), m_request(std::make_unique<RespRequest>()) {
  m_context.reset(redisConnectWithTimeout(address.host.c_str(), address.port, ToTimeval(connect_timeout)));
  if (!m_context) {
    throw BrokerConnectionError(fmt::format("Cannot connect to VIDRA broker {}: out of memory", m_address.masked_uri));
  }
  if (m_context->err != 0) {
    throw BrokerConnectionError(
        fmt::format("Cannot connect to VIDRA broker {}: {}", m_address.masked_uri, m_context->errstr));
  }
  SetIoTimeout(io_timeout);
  try {
    if (!address.password.empty()) {
      if (address.user.empty()) {
        Command({"AUTH", address.password});
      } else {
        Command({"AUTH", address.user, address.password});
      }
    }
    if (address.db != 0) {
      const std::string db = std::to_string(address.db);
      Command({"SELECT", db});
    }
    Command({"PING"});
  } catch (const std::exception& e) {
    throw BrokerConnectionError(fmt::format("Cannot connect to VIDRA broker {}: {}", m_address.masked_uri, e.what()));
  }
}

RedisConnection::~RedisConnection() = default;

void RedisConnection::SetIoTimeout(std::chrono::milliseconds timeout) {
  if (redisSetTimeout(m_context.get(), ToTimeval(timeout)) != REDIS_OK) {
    throw BrokerConnectionError(fmt::format("Cannot set the I/O timeout for VIDRA broker {}", m_address.masked_uri));
  }
}

RedisReply RedisConnection::Command(const std::vector<std::string_view>& args) {
  if (!m_broken.empty() || m_context->err != 0) {
    throw BrokerConnectionError(fmt::format("Connection to VIDRA broker {} is broken: {}", m_address.masked_uri,
                                            m_broken.empty() ? m_context->errstr : m_broken));
  }
  // The command goes out through the socket with MSG_NOSIGNAL rather than
  // hiredis' write(): writing to a connection the broker has closed must be
  // an error of this call, not a SIGPIPE that ends the process. hiredis then
  // only reads the reply.
  m_request->Frame(args);
  if (const int error = m_request->Send(m_context->fd); error != 0) {
    m_broken = error == EAGAIN || error == EWOULDBLOCK ? std::string("timed out sending a command")
                                                       : std::system_category().message(error);
    throw BrokerConnectionError(fmt::format("Lost connection to VIDRA broker {}: {}", m_address.masked_uri, m_broken));
  }
  void* raw_reply = nullptr;
  if (redisGetReply(m_context.get(), &raw_reply) != REDIS_OK || raw_reply == nullptr) {
    m_broken = m_context->err != 0 ? m_context->errstr : "no reply";
    throw BrokerConnectionError(fmt::format("Lost connection to VIDRA broker {}: {}", m_address.masked_uri, m_broken));
  }
  auto* raw = static_cast<redisReply*>(raw_reply);
  RedisReply reply(raw);
  if (raw->type == REDIS_REPLY_ERROR) {
    throw BrokerReplyError(fmt::format("VIDRA broker {} refused {}: {}", m_address.masked_uri,
                                       args.empty() ? std::string_view() : args.front(),
                                       std::string_view(raw->str, raw->len)));
  }
  return reply;
}

}  // namespace ketra::vesktools::vesk2vidra
