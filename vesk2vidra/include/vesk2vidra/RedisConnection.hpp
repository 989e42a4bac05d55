#pragma once
// One hiredis connection (owned, freed on destruction) and its replies.
// A connection belongs to one thread.

#include <vesk2vidra/BrokerUri.hpp>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct redisContext;
struct redisReply;

namespace ketra::vesktools::vesk2vidra {

class RespRequest;

// The broker cannot be reached or the connection broke; the connection that
// reported it is unusable afterwards.
class BrokerConnectionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The broker answered a command with an error reply; the connection stays usable.
class BrokerReplyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A reply of the broker (a view into the owned hiredis reply tree).
class RedisReply {
 public:
  struct Free {
    void operator()(redisReply* reply) const;
  };
  explicit RedisReply(redisReply* reply) : m_reply(reply) {}

  const redisReply* Get() const { return m_reply.get(); }

 private:
  std::unique_ptr<redisReply, Free> m_reply;
};

// Read-only helpers over a hiredis reply node.
bool IsArray(const redisReply* reply);
bool IsNil(const redisReply* reply);
std::size_t ElementCount(const redisReply* reply);
const redisReply* Element(const redisReply* reply, std::size_t index);
// The bytes of a string or status reply; throws std::runtime_error for other types.
std::string_view Text(const redisReply* reply);
long long Integer(const redisReply* reply);

class RedisConnection {
 public:
  // Connects, authenticates and selects the database of `address`, then checks
  // the link with PING. Throws BrokerConnectionError with the masked URI in its
  // text when the broker cannot be reached or refuses the credentials.
  // `io_timeout` bounds every later command (0: no bound).
  RedisConnection(const BrokerAddress& address, std::chrono::milliseconds connect_timeout,
                  std::chrono::milliseconds io_timeout);
  ~RedisConnection();
  RedisConnection(const RedisConnection&) = delete;
  RedisConnection& operator=(const RedisConnection&) = delete;

  // Sends one command (binary-safe arguments, sent without a copy) and waits
  // for its reply. Throws BrokerConnectionError for I/O failures, including a
  // broker that has closed the connection (never SIGPIPE), BrokerReplyError
  // for an error reply.
  RedisReply Command(const std::vector<std::string_view>& args);

  // Changes the bound on later commands (e.g. around a blocking read).
  void SetIoTimeout(std::chrono::milliseconds timeout);

  const BrokerAddress& Address() const { return m_address; }

 private:
  struct Free {
    void operator()(redisContext* context) const;
  };
  BrokerAddress m_address;
  std::unique_ptr<redisContext, Free> m_context;
  std::unique_ptr<RespRequest> m_request;
  std::string m_broken;  // why a send failed; the connection is unusable when set
};

}  // namespace ketra::vesktools::vesk2vidra
