#pragma once
// Builds one JSON object on one line, members in the order they are added.
// Text is expected as UTF-8 and is escaped so that the line stays one line.
// Shared by the command-line tools.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace toruna::tools {

class JsonWriter {
 public:
  JsonWriter& Add(std::string_view key, std::string_view text);
  JsonWriter& Add(std::string_view key, const char* text) { return Add(key, std::string_view(text)); }
  JsonWriter& Add(std::string_view key, int64_t number);
  JsonWriter& Add(std::string_view key, int32_t number) { return Add(key, static_cast<int64_t>(number)); }
  JsonWriter& Add(std::string_view key, bool value);
  JsonWriter& Add(std::string_view key, const JsonWriter& object);
  JsonWriter& Add(std::string_view key, const std::vector<std::string>& texts);
  JsonWriter& AddNull(std::string_view key);
  // A value written as it is: JSON already (an array of objects, ...).
  JsonWriter& AddRaw(std::string_view key, std::string_view json);
  // The object, without a line break.
  std::string Str() const { return body_.empty() ? "{}" : body_ + "}"; }

  // A JSON string literal, quotes included.
  static std::string Quote(std::string_view text);
  // A JSON array of values rendered already.
  static std::string Array(const std::vector<std::string>& values);

 private:
  void Key(std::string_view key);
  std::string body_;
};

}  // namespace toruna::tools
