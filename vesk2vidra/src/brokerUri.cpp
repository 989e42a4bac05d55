#include <vesk2vidra/BrokerUri.hpp>

#include <fmt/format.h>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <stdexcept>
#include <string_view>

namespace ketra::vesktools::vesk2vidra {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

[[noreturn]] void Refuse(const std::string& uri, std::string_view why) {
  throw std::invalid_argument(fmt::format("Invalid broker URI '{}': {}", MaskBrokerUri(uri), why));
}

// Decodes %XX escapes (credentials may contain '@', ':' or '/').
std::string PercentDecode(const std::string& uri, std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    unsigned value = 0;
    if (i + 2 >= text.size()) {
      Refuse(uri, "incomplete percent escape in the credentials");
    }
    const auto [end, ec] = std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
    if (ec != std::errc() || end != text.data() + i + 3) {
      Refuse(uri, "bad percent escape in the credentials");
    }
    out.push_back(static_cast<char>(value));
    i += 2;
  }
  return out;
}

int ParseNumber(const std::string& uri, std::string_view text, int low, int high, std::string_view what) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    Refuse(uri, fmt::format("{} '{}' is not a number from {} to {}", what, text, low, high));
  }
  return value;
}

}  // namespace

std::string BrokerAddress::Key() const {
  return fmt::format("{}:{}/{}", host, port, db);
}

std::string MaskBrokerUri(const std::string& uri) {
  const auto scheme_end = uri.find("://");
  const std::size_t authority = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  const auto path = uri.find('/', authority);
  const auto at = uri.rfind('@', path == std::string::npos ? std::string::npos : path);
  if (at == std::string::npos || at < authority) {
    return uri;
  }
  const auto colon = uri.find(':', authority);
  if (colon != std::string::npos && colon < at) {
    return uri.substr(0, colon + 1) + "***" + uri.substr(at);
  }
  // A lone credential before '@' is taken as a password.
  return uri.substr(0, authority) + "***" + uri.substr(at);
}

BrokerAddress ParseBrokerUri(const std::string& uri) {
  const auto scheme_end = uri.find("://");
  if (scheme_end == std::string::npos) {
    Refuse(uri, "expected redis://[:password@]host[:port][/db] or tcp://host:port");
  }
  const std::string scheme = Lower(std::string_view(uri).substr(0, scheme_end));
  if (scheme == "rediss") {
    Refuse(uri, "TLS connections (rediss://) are not supported; use redis:// or tcp://");
  }
  const bool is_tcp = scheme == "tcp";
  if (scheme != "redis" && !is_tcp) {
    Refuse(uri, fmt::format("unsupported scheme '{}', expected redis:// or tcp://", scheme));
  }

  BrokerAddress address;
  address.masked_uri = MaskBrokerUri(uri);
  std::string_view rest = std::string_view(uri).substr(scheme_end + 3);

  const auto slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  if (slash != std::string_view::npos) {
    const std::string_view db_text = rest.substr(slash + 1);
    if (!db_text.empty()) {
      address.db = ParseNumber(uri, db_text, 0, 1000000, "database index");
    }
  }

  const auto at = authority.rfind('@');
  if (at != std::string_view::npos) {
    if (is_tcp) {
      Refuse(uri, "tcp:// takes no credentials; use redis://:password@host:port");
    }
    const std::string_view credentials = authority.substr(0, at);
    const auto colon = credentials.find(':');
    if (colon == std::string_view::npos) {
      address.password = PercentDecode(uri, credentials);
    } else {
      address.user = PercentDecode(uri, credentials.substr(0, colon));
      address.password = PercentDecode(uri, credentials.substr(colon + 1));
    }
    authority = authority.substr(at + 1);
  }

  std::string_view port_text;
  bool has_port = false;
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) {
      Refuse(uri, "unterminated '[' in the host");
    }
    address.host = std::string(authority.substr(1, close - 1));
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') {
        Refuse(uri, "unexpected text after the host");
      }
      port_text = after.substr(1);
      has_port = true;
    }
  } else {
    const auto colon = authority.rfind(':');
    address.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) {
      port_text = authority.substr(colon + 1);
      has_port = true;
    }
  }
  if (address.host.empty()) {
    Refuse(uri, "no host");
  }
  if (address.host.find_first_of(" \t@/?#") != std::string::npos) {
    Refuse(uri, "invalid character in the host");
  }
  if (has_port) {
    address.port = ParseNumber(uri, port_text, 1, 65535, "port");
  } else if (is_tcp) {
    Refuse(uri, "tcp:// needs a port (tcp://host:port)");
  }
  return address;
}

}  // namespace ketra::vesktools::vesk2vidra
