#pragma once
// The work of veskrecv after the common start-up.

#include "Options.hpp"

namespace ketra::vesktools::veskrecv {

// Runs the tool's work and returns its exit status. Exceptions leave it and
// are handled by main's work-phase handler, which logs them and ends the
// program with status 1.
int Run(const Options& options);

}  // namespace ketra::vesktools::veskrecv
