#include "JsonWriter.h"

#include <cstdio>

namespace toruna::tools {

std::string JsonWriter::Quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (unsigned char ch : text) {
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (ch < 0x20 || ch == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", ch);
          out += buf;
        } else {
          out += static_cast<char>(ch);
        }
    }
  }
  out += '"';
  return out;
}

void JsonWriter::Key(std::string_view key) {
  body_ += body_.empty() ? "{" : ",";
  body_ += Quote(key);
  body_ += ':';
}

JsonWriter& JsonWriter::Add(std::string_view key, std::string_view text) {
  Key(key);
  body_ += Quote(text);
  return *this;
}

JsonWriter& JsonWriter::AddNull(std::string_view key) { return AddRaw(key, "null"); }

JsonWriter& JsonWriter::AddRaw(std::string_view key, std::string_view json) {
  Key(key);
  body_ += json;
  return *this;
}

JsonWriter& JsonWriter::Add(std::string_view key, int64_t number) {
  Key(key);
  body_ += std::to_string(number);
  return *this;
}

JsonWriter& JsonWriter::Add(std::string_view key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Add(std::string_view key, const JsonWriter& object) {
  Key(key);
  body_ += object.Str();
  return *this;
}

JsonWriter& JsonWriter::Add(std::string_view key, const std::vector<std::string>& texts) {
  Key(key);
  body_ += '[';
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i != 0) body_ += ',';
    body_ += Quote(texts[i]);
  }
  body_ += ']';
  return *this;
}

std::string JsonWriter::Array(const std::vector<std::string>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out += ',';
    out += values[i];
  }
  out += ']';
  return out;
}

}  // namespace toruna::tools
