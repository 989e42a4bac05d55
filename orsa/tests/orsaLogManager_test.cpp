// Configuring log4cplus from a property file, and refusing unreadable files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <log4cplus/hierarchy.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <filesystem>
#include <fstream>
#include <orsa/OrsaLogManager.hpp>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

class OrsaLogManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    m_dir = fs::temp_directory_path() / ("orsa_test_" + std::to_string(getpid()));
    fs::create_directories(m_dir);
  }
  void TearDown() override {
    log4cplus::Logger::getDefaultHierarchy().resetConfiguration();
    fs::remove_all(m_dir);
  }
  fs::path m_dir;
};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

TEST_F(OrsaLogManagerTest, AppliesLevelsAppendersAndLayoutsOfTheFile) {
  const fs::path log_file = m_dir / "out.log";
  const fs::path properties = m_dir / "log.properties";
  std::ofstream(properties) << "log4cplus.rootLogger=INFO, FILE\n"
                               "log4cplus.logger.vesklib=WARN\n"
                               "log4cplus.appender.FILE=log4cplus::FileAppender\n"
                               "log4cplus.appender.FILE.File="
                            << log_file.string()
                            << "\n"
                               "log4cplus.appender.FILE.layout=log4cplus::PatternLayout\n"
                               "log4cplus.appender.FILE.layout.ConversionPattern=[%c] %p %m%n\n";
  orsa::OrsaLogManager::Configure(properties.string());

  auto library = log4cplus::Logger::getInstance("vesklib");
  auto other = log4cplus::Logger::getInstance("orsa.test");
  EXPECT_EQ(library.getLogLevel(), log4cplus::WARN_LOG_LEVEL);
  LOG4CPLUS_INFO(library, "library info is below WARN");
  LOG4CPLUS_WARN(library, "library warning");
  LOG4CPLUS_INFO(other, "other info");
  log4cplus::Logger::getDefaultHierarchy().shutdown();
  EXPECT_EQ(ReadAll(log_file), "[vesklib] WARN library warning\n[orsa.test] INFO other info\n");
}

TEST_F(OrsaLogManagerTest, RefusesFilesItCannotReadAndNamesThem) {
  const std::string missing = (m_dir / "missing.properties").string();
  try {
    orsa::OrsaLogManager::Configure(missing);
    FAIL() << "no exception for a missing file";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find(missing), std::string::npos) << error.what();
  }
  EXPECT_THROW(orsa::OrsaLogManager::Configure(m_dir.string()), std::runtime_error);
  EXPECT_THROW(orsa::OrsaLogManager::Configure(""), std::runtime_error);
}
