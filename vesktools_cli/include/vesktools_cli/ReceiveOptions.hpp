#pragma once
// Options that the two receiving programs (veskrecv and the gateway) share,
// with one spelling, help text and check.

#include <boost/program_options.hpp>

#include <cstdint>

namespace ketra::vesktools::cli {

// Largest "socket-buffer": the kernel takes an int and doubles it.
inline constexpr std::uint64_t kMaxSocketBuffer = 1073741823;
// Smallest "progress" interval other than 0 (off), in seconds.
inline constexpr double kMinProgressInterval = 0.1;

// Adds "progress" (seconds between rate lines on standard error, default 0:
// none) and "socket-buffer" (bytes, default `socket_buffer`).
void AddReceiveOptions(boost::program_options::options_description& description, std::uint64_t socket_buffer);

// Refuses a progress interval other than 0 below kMinProgressInterval or above
// a day, and a socket buffer above kMaxSocketBuffer (UsageError).
void CheckReceiveOptions(const boost::program_options::variables_map& variables);

}  // namespace ketra::vesktools::cli
