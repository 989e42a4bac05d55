// Name of the calling thread.

#include <pthread.h>

#include <array>
#include <ketra/fnd/defs/base.hpp>

namespace ketra::fnd {

std::string ThreadName() {
  std::array<char, 32> buffer{};
  // The result code is ignored: on failure the zeroed buffer gives "".
  static_cast<void>(pthread_getname_np(pthread_self(), buffer.data(), buffer.size()));
  buffer.back() = '\0';
  return std::string(buffer.data());
}

}  // namespace ketra::fnd
