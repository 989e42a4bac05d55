#pragma once
// Minimal JSON writer for the benchmark's results file.

#include <cstdint>
#include <string>

namespace vesk_bench {

class JsonWriter {
 public:
  void BeginObject(const std::string& key = {});
  void EndObject();
  void BeginArray(const std::string& key = {});
  void EndArray();
  void Field(const std::string& key, const std::string& value);
  void Field(const std::string& key, double value);
  void Field(const std::string& key, std::uint64_t value);
  void Field(const std::string& key, int value) { Field(key, static_cast<double>(value)); }
  const std::string& Text() const noexcept { return m_text; }

  static std::string Quote(const std::string& text);

 private:
  void Key(const std::string& key);
  std::string m_text;
  bool m_first = true;
};

}  // namespace vesk_bench
