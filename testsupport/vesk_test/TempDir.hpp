#pragma once
// Temporary files for tests, removed when the test is done with them.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace vesk_test {

// A fresh directory under the system's temporary directory, removed with its
// contents at destruction.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vesk_test_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    m_path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const std::string& name) const { return (m_path / name).string(); }

 private:
  std::filesystem::path m_path;
};

// A file holding `text`, named `name` in a directory of its own.
class TempFile {
 public:
  TempFile(const std::string& name, const std::string& text) : m_path(m_dir.File(name)) {
    std::ofstream out(m_path, std::ios::binary);
    out << text;
    if (!out.flush()) {
      throw std::runtime_error("cannot write " + m_path);
    }
  }
  const std::string& Path() const { return m_path; }

 private:
  TempDir m_dir;
  std::string m_path;
};

}  // namespace vesk_test
