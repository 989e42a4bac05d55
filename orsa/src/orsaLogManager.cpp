// Property-file configuration of log4cplus's default hierarchy.

#include <log4cplus/configurator.h>
#include <log4cplus/logger.h>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <orsa/OrsaLogManager.hpp>
#include <stdexcept>
#include <system_error>

namespace orsa {

void OrsaLogManager::Configure(const std::string& file) {
  // log4cplus treats a file it cannot open as an empty configuration; a
  // missing or unreadable property file is an error the user must see.
  std::error_code error;
  if (std::filesystem::is_directory(file, error)) {
    throw std::runtime_error("Cannot read log property file '" + file + "': it is a directory");
  }
  std::ifstream stream(file);
  if (!stream) {
    throw std::runtime_error("Cannot read log property file '" + file + "': " + std::strerror(errno));
  }
  stream.close();
  log4cplus::PropertyConfigurator::doConfigure(file, log4cplus::Logger::getDefaultHierarchy(), 0);
}

}  // namespace orsa
