#pragma once
// Broker addresses given as URIs: redis://[[user]:password@]host[:port][/db]
// and tcp://host:port. TLS (rediss://) is refused: the Redis client library
// in use has no TLS.

#include <string>

namespace ketra::vesktools::vesk2vidra {

inline constexpr int kDefaultRedisPort = 6379;

struct BrokerAddress {
  std::string host;  // host name or IPv4/IPv6 address text (no brackets)
  int port = kDefaultRedisPort;
  std::string user;        // empty: AUTH with the password alone
  std::string password;    // empty: no AUTH
  int db = 0;              // SELECT index; 0 is Redis' default
  std::string masked_uri;  // the URI as given, password replaced by "***"

  // Identifies the broker and database, never the credentials: "host:port/db".
  std::string Key() const;
};

// Parses `uri`; throws std::invalid_argument naming the (masked) URI and the
// problem for anything that is not one of the two accepted forms.
BrokerAddress ParseBrokerUri(const std::string& uri);

// Replaces a password in URI-like text with "***", also for text that does
// not parse, so that error messages never show credentials.
std::string MaskBrokerUri(const std::string& uri);

}  // namespace ketra::vesktools::vesk2vidra
