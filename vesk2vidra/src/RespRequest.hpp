#pragma once
// One command in the Redis protocol (an array of bulk strings), framed as a
// gather list over the caller's argument bytes so that large arguments
// (whole images) are sent without a copy, and sent on a blocking socket with
// MSG_NOSIGNAL: a broker that has closed the connection gives EPIPE, never
// SIGPIPE.

#include <sys/uio.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ketra::vesktools::vesk2vidra {

class RespRequest {
 public:
  // Frames `args`; their bytes must stay valid until Send returns.
  void Frame(const std::vector<std::string_view>& args);

  // Sends the whole framed command on `fd`. Returns 0, or the errno of the
  // failure (EAGAIN or EWOULDBLOCK when the socket's send timeout ran out).
  int Send(int fd);

 private:
  std::string m_heads;                  // "*<count>\r\n" and each "$<length>\r\n"
  std::vector<std::size_t> m_head_end;  // end of each argument's length line in m_heads
  std::vector<iovec> m_iov;
};

}  // namespace ketra::vesktools::vesk2vidra
