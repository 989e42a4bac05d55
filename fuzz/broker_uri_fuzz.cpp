// Broker URI parsing of arbitrary text.
// Invariants: a refusal is std::invalid_argument whose text carries the
// masked URI in quotes and, after it, no input fragment holding the text
// the mask hid; an accepted URI
// has a host without blanks or separators, a port from 1 to 65535 and a
// database from 0 to 1000000, a masked form equal to MaskBrokerUri's that
// hides any password, a key "host:port/db", and the address written back
// as a URI (credentials percent-encoded, host bracketed) parses to the same
// fields.

#include "FuzzSupport.hpp"

#include <vesk2vidra/BrokerUri.hpp>

#include <fmt/format.h>

#include <cctype>
#include <stdexcept>
#include <string>

namespace {

using ketra::vesktools::vesk2vidra::BrokerAddress;
using ketra::vesktools::vesk2vidra::MaskBrokerUri;
using ketra::vesktools::vesk2vidra::ParseBrokerUri;

std::string PercentEncode(const std::string& text) {
  std::string out;
  for (const char c : text) out += fmt::format("%{:02X}", static_cast<unsigned char>(c));
  return out;
}

// What a C-string message can show of `text`: the part before a NUL byte.
std::string Visible(const std::string& text) {
  return text.substr(0, text.find('\0'));
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The text of `uri` that the mask replaced with "***" (empty when none).
std::string HiddenPart(const std::string& uri, const std::string& masked) {
  if (masked == uri) return {};
  std::size_t front = 0;
  while (front < uri.size() && front < masked.size() && uri[front] == masked[front]) ++front;
  std::size_t back = 0;
  while (back < uri.size() - front && back < masked.size() - front &&
         uri[uri.size() - 1 - back] == masked[masked.size() - 1 - back]) {
    ++back;
  }
  return uri.substr(front, uri.size() - front - back);
}

std::string WriteBack(const BrokerAddress& a) {
  std::string uri = "redis://";
  if (!a.user.empty() || !a.password.empty()) uri += PercentEncode(a.user) + ":" + PercentEncode(a.password) + "@";
  uri += "[" + a.host + "]";
  uri += fmt::format(":{}/{}", a.port, a.db);
  return uri;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string uri(reinterpret_cast<const char*>(data), size);
  const std::string masked = MaskBrokerUri(uri);
  BrokerAddress address;
  try {
    address = ParseBrokerUri(uri);
  } catch (const std::invalid_argument& e) {
    const std::string message = e.what();
    const std::string prefix = "Invalid broker URI '" + masked;
    if (masked.find('\0') != std::string::npos) {
      // The message is a C string: it ends at the masked URI's first NUL byte.
      VESK_FUZZ_CHECK(message == Visible(prefix));
      return 0;
    }
    VESK_FUZZ_CHECK(message.rfind(prefix + "': ", 0) == 0);
    // Input the reason after the quoted URI repeats (a scheme, port or
    // database text, itself in quotes) never holds the text the mask hid.
    const std::string reason = message.substr(prefix.size() + 3);
    const auto first_quote = reason.find('\'');
    const auto last_quote = reason.rfind('\'');
    const std::string hidden = HiddenPart(uri, masked);
    // (Text that also stands unmasked elsewhere in the URI, in any case, is
    // not a secret; neither is a hidden text too short to tell apart.)
    if (hidden.size() >= 3 && Lower(masked).find(Lower(hidden)) == std::string::npos && first_quote != last_quote) {
      const std::string echoed = reason.substr(first_quote + 1, last_quote - first_quote - 1);
      VESK_FUZZ_CHECK(Lower(echoed).find(Lower(hidden)) == std::string::npos);
    }
    return 0;
  }

  VESK_FUZZ_CHECK(!address.host.empty());
  VESK_FUZZ_CHECK(address.host.find_first_of(" \t@/?#") == std::string::npos);
  VESK_FUZZ_CHECK(address.port >= 1 && address.port <= 65535);
  VESK_FUZZ_CHECK(address.db >= 0 && address.db <= 1000000);
  VESK_FUZZ_CHECK(address.masked_uri == masked);
  VESK_FUZZ_CHECK(address.Key() == fmt::format("{}:{}/{}", address.host, address.port, address.db));
  if (!address.password.empty()) VESK_FUZZ_CHECK(masked.find("***") != std::string::npos);

  // Hosts with brackets of their own cannot be written back in brackets.
  if (address.host.find_first_of("[]") != std::string::npos) return 0;
  const BrokerAddress again = ParseBrokerUri(WriteBack(address));
  VESK_FUZZ_CHECK(again.host == address.host);
  VESK_FUZZ_CHECK(again.port == address.port);
  VESK_FUZZ_CHECK(again.db == address.db);
  VESK_FUZZ_CHECK(again.user == address.user);
  VESK_FUZZ_CHECK(again.password == address.password);
  return 0;
}
