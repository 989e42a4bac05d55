#pragma once
// The work of veskfeed after the common start-up.

#include "Options.hpp"

namespace ketra::vesktools::veskfeed {

// Runs the tool's work and returns its exit status: 0 when every sample was
// sent, 1 when an error ended the send loop. Exceptions leave it and are
// handled by main's work-phase handler (status 1).
int Run(const Options& options);

}  // namespace ketra::vesktools::veskfeed
