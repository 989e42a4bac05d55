#include <vesk2vidra/RedisConnection.hpp>

#include <fmt/format.h>
#include <hiredis/hiredis.h>
#include <sys/time.h>

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
    : m_address(address) {
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
  if (m_context->err != 0) {
    throw BrokerConnectionError(
        fmt::format("Connection to VIDRA broker {} is broken: {}", m_address.masked_uri, m_context->errstr));
  }
  m_argv.clear();
  m_argv_len.clear();
  for (const auto arg : args) {
    m_argv.push_back(arg.data());
    m_argv_len.push_back(arg.size());
  }
  auto* raw = static_cast<redisReply*>(
      redisCommandArgv(m_context.get(), static_cast<int>(m_argv.size()), m_argv.data(), m_argv_len.data()));
  if (raw == nullptr) {
    throw BrokerConnectionError(fmt::format("Lost connection to VIDRA broker {}: {}", m_address.masked_uri,
                                            m_context->err != 0 ? m_context->errstr : "no reply"));
  }
  RedisReply reply(raw);
  if (raw->type == REDIS_REPLY_ERROR) {
    throw BrokerReplyError(fmt::format("VIDRA broker {} refused {}: {}", m_address.masked_uri,
                                       args.empty() ? std::string_view() : args.front(),
                                       std::string_view(raw->str, raw->len)));
  }
  return reply;
}

}  // namespace ketra::vesktools::vesk2vidra
