// The settings reader over any file: arbitrary INI text, any key read, and a
// value written under a key and read back. Input: a byte for the key's length,
// the key, a byte for the value's length, the value, and the rest of the input
// as the file's content.
// Checked: reading never fails on any file; the numeric reading of a value is
// the numeric reading of its text; and for a key and value that a file can
// hold (a key without "=", line breaks or surrounding blanks that is not a
// comment or a section; a value without line breaks), writing and then reading
// gives the value back, and leaves every other key of the section as it was.

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "FuzzServer.h"
#include "base/RaisedError.h"
#include "server/NumericText.h"
#include "server/clsSettings.h"

using namespace toruna;
using fuzz::FuzzInput;

namespace {

const std::string& FilePath() { return fuzz::SettingsPath(); }

void WriteFile(std::span<const uint8_t> content) {
  std::ofstream out(FilePath(), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

std::optional<int32_t> NumericValue(const std::string& text) {
  try {
    return server::NumericText::ReadLong(text, "check");
  } catch (const base::RaisedError&) {
    return std::nullopt;
  }
}

void CheckNumeric(const server::clsSettings& settings, const std::string& key) {
  const std::optional<int32_t> expected = NumericValue(settings.RegString(key));
  std::optional<int32_t> read;
  try {
    read = settings.RegVal(key);
  } catch (const base::RaisedError& e) {
    FUZZ_CHECK(e.Number() == base::kErrOverflow, "RegVal raised another error");
  }
  FUZZ_CHECK(read == expected, "RegVal is not the number of the text");
}

bool Blank(char c) { return c == ' ' || c == '\t'; }

bool StorableKey(const std::string& key) {
  if (key.empty() || Blank(key.front()) || Blank(key.back())) return false;
  if (key.front() == ';' || key.front() == '#' || key.front() == '[') return false;
  return key.find_first_of("=\n\r") == std::string::npos;
}

bool StorableValue(const std::string& value) {
  return value.find('\n') == std::string::npos && (value.empty() || value.back() != '\r');
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// The keys of "key=value" lines, for the check that a write touches no other.
std::vector<std::string> KeysOf(std::span<const uint8_t> content) {
  std::vector<std::string> keys;
  std::string line;
  for (size_t i = 0; i <= content.size(); ++i) {
    if (i == content.size() || content[i] == '\n') {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) {
        std::string key = line.substr(0, eq);
        while (!key.empty() && Blank(key.front())) key.erase(key.begin());
        while (!key.empty() && Blank(key.back())) key.pop_back();
        if (!key.empty()) keys.push_back(key);
      }
      line.clear();
    } else {
      line.push_back(static_cast<char>(content[i]));
    }
  }
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  fuzz::SettingsPath();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const std::span<const uint8_t> keyBytes = in.Take(in.Below(24));
  const std::span<const uint8_t> valueBytes = in.Slice();
  const std::span<const uint8_t> content = in.Rest();
  const std::string key(keyBytes.begin(), keyBytes.end());
  const std::string value(valueBytes.begin(), valueBytes.end());

  WriteFile(content);
  server::clsSettings settings(FilePath());
  settings.RegString(key);
  CheckNumeric(settings, key);
  CheckNumeric(settings, "Servername");

  if (!StorableKey(key) || !StorableValue(value)) return 0;
  std::vector<std::pair<std::string, std::string>> others;
  for (const std::string& other : KeysOf(content)) {
    if (!SameName(other, key) && StorableKey(other)) others.emplace_back(other, settings.RegString(other));
  }
  settings.SetRegString(key, value);
  FUZZ_CHECK(settings.RegString(key) == value, "a written value reads back otherwise");
  CheckNumeric(settings, key);
  for (const auto& [other, before] : others) {
    FUZZ_CHECK(settings.RegString(other) == before, "a write changed another key");
  }
  return 0;
}
