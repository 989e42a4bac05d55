#pragma once
// The work of vesk2vidragw after the common start-up.

#include "Options.hpp"

namespace ketra::vesktools::vesk2vidragw {

// Runs the tool's work and returns its exit status. Exceptions leave it and
// are handled by main's work-phase handler.
int Run(const Options& options);

}  // namespace ketra::vesktools::vesk2vidragw
