#include "Json.hpp"

#include <fmt/format.h>

#include <cmath>

namespace vesk_bench {

std::string JsonWriter::Quote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void JsonWriter::Key(const std::string& key) {
  if (!m_first) m_text += ',';
  m_first = false;
  if (!key.empty()) m_text += Quote(key) + ':';
}

void JsonWriter::BeginObject(const std::string& key) {
  Key(key);
  m_text += '{';
  m_first = true;
}

void JsonWriter::EndObject() {
  m_text += '}';
  m_first = false;
}

void JsonWriter::BeginArray(const std::string& key) {
  Key(key);
  m_text += '[';
  m_first = true;
}

void JsonWriter::EndArray() {
  m_text += ']';
  m_first = false;
}

void JsonWriter::Field(const std::string& key, const std::string& value) {
  Key(key);
  m_text += Quote(value);
}

void JsonWriter::Field(const std::string& key, double value) {
  Key(key);
  // JSON has no NaN or infinity.
  m_text += std::isfinite(value) ? fmt::format("{}", value) : "null";
}

void JsonWriter::Field(const std::string& key, std::uint64_t value) {
  Key(key);
  m_text += fmt::format("{}", value);
}

}  // namespace vesk_bench
