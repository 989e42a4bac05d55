// vidra2fits: reads images of a VIDRA stream and writes them as a FITS cube.

#include "FitsCubeWriter.hpp"

#include <vesk2vidra/VidraStreamReader.hpp>
#include <vesktools/Version.hpp>

#include <fmt/format.h>
#include <boost/program_options.hpp>

#include <chrono>
#include <iostream>
#include <optional>
#include <stdexcept>

namespace po = boost::program_options;
namespace v = ketra::vesktools::vesk2vidra;

int main(int argc, char* argv[]) {
  po::options_description description("Options");
  description.add_options()                                                                            //
      ("help,h", "Print help messages")                                                                //
      ("version", "Print the program's name and version")                                              //
      ("broker-uri,k", po::value<std::string>()->required(), "Broker URI")                             //
      ("vidra-stream,s", po::value<std::string>()->default_value("vesk_stream"), "VIDRA stream name")  //
      ("count,n", po::value<unsigned>()->default_value(1), "number of images to read")                 //
      ("wait,w", "wait for the next images instead of reading the newest ones")                        //
      ("timeout,T", po::value<double>()->default_value(30.0), "seconds to wait for the next images")   //
      ("output,o", po::value<std::string>()->required(), "FITS file to write (replaced if it exists)");
  po::variables_map variables;
  try {
    po::store(po::parse_command_line(argc, argv, description), variables);
    if (variables.count("help") != 0) {
      std::cout << description << "\n";
      return 0;
    }
    if (variables.count("version") != 0) {
      std::cout << ketra::vesktools::VersionLine("vidra2fits") << "\n";
      return 0;
    }
    po::notify(variables);
  } catch (const po::error& e) {
    std::cerr << "ERROR: " << e.what() << "\n\n" << description << "\n";
    return 1;
  }

  const auto uri = variables["broker-uri"].as<std::string>();
  const auto stream = variables["vidra-stream"].as<std::string>();
  const auto count = variables["count"].as<unsigned>();
  const auto output = variables["output"].as<std::string>();
  const double timeout = variables["timeout"].as<double>();
  if (count == 0) {
    std::cerr << "ERROR: Invalid count: 0 (give at least 1)\n";
    return 1;
  }
  if (!(timeout >= 0)) {
    std::cerr << fmt::format("ERROR: Invalid timeout: {} (give seconds, not negative)\n", timeout);
    return 1;
  }
  try {
    std::optional<v::VidraStreamReader> connected;
    try {
      connected.emplace(uri, stream);
    } catch (const std::exception& e) {
      // Names the option; the library's text shows the URI with its password masked.
      throw std::runtime_error(fmt::format("broker-uri: {}", e.what()));
    }
    v::VidraStreamReader& reader = *connected;
    std::vector<v::VidraStreamEntry> entries;
    if (variables.count("wait") != 0) {
      entries = reader.Next(count, std::chrono::milliseconds(static_cast<long long>(timeout * 1000)));
      if (entries.size() < count) {
        throw std::runtime_error(fmt::format("Only {} of {} images arrived on stream '{}' within {} s", entries.size(),
                                             count, stream, timeout));
      }
    } else {
      entries = reader.Newest(count);
      if (entries.empty()) {
        throw std::runtime_error(fmt::format("Stream '{}' holds no images", stream));
      }
    }
    vidra2fits::WriteFitsCube(output, entries, stream);
    std::cout << fmt::format("Wrote {} image(s) of stream '{}' ({} to {}) to {}\n", entries.size(), stream,
                             entries.front().id, entries.back().id, output);
  } catch (const std::exception& e) {
    std::cerr << "ERROR: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
