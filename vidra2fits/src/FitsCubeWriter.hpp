#pragma once
// Writes images of one shape and pixel type as one FITS cube.

#include <vesk2vidra/VidraStreamReader.hpp>

#include <string>
#include <vector>

namespace vidra2fits {

// Stacks the planes of `entries` (oldest first) along the third axis and
// writes them to `path`, replacing an existing file. Throws
// std::runtime_error for an empty list, images of differing shape or type,
// or a CFITSIO failure.
void WriteFitsCube(const std::string& path, const std::vector<ketra::vesktools::vesk2vidra::VidraStreamEntry>& entries,
                   const std::string& stream);

}  // namespace vidra2fits
