#include "server/clsSettings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "base/RaisedError.h"
#include "server/NumericText.h"

namespace toruna::server {

namespace {

// Sections and keys are found regardless of case, like the platform store they
// stand in for.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The file's lines without their line feeds. keepReturns: with the carriage
// return of a CRLF line end left on, so that a rewrite gives every line it does
// not change back byte for byte (a value may itself end in a carriage return).
std::vector<std::string> ReadLines(const std::string& path, bool keepReturns = false) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!keepReturns && !line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The section name of a "[Name]" line.
std::optional<std::string_view> SectionOf(std::string_view line) {
  line = TrimBlanks(line);
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return std::nullopt;
  return TrimBlanks(line.substr(1, line.size() - 2));
}

bool IsComment(std::string_view line) {
  line = TrimBlanks(line);
  return !line.empty() && (line.front() == ';' || line.front() == '#');
}

// For a "key=value" line with the wanted key, the value as written: everything
// after the first "=", blanks included. A value in double quotes loses them.
std::optional<std::string> ValueOf(std::string_view line, std::string_view key) {
  if (IsComment(line)) return std::nullopt;
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  if (!SameName(TrimBlanks(line.substr(0, eq)), key)) return std::nullopt;
  std::string_view value = line.substr(eq + 1);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

// The line index where the wanted section's entries end (its last line + 1), and
// the key's line if present.
struct Location {
  std::optional<size_t> sectionEnd;
  std::optional<size_t> keyLine;
};

Location Find(const std::vector<std::string>& lines, std::string_view key) {
  Location at;
  bool inSection = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (auto name = SectionOf(lines[i])) {
      inSection = SameName(*name, clsSettings::kSection);
      if (inSection) at.sectionEnd = i + 1;
      continue;
    }
    if (!inSection) continue;
    if (!TrimBlanks(lines[i]).empty()) at.sectionEnd = i + 1;
    if (!at.keyLine && ValueOf(lines[i], key)) at.keyLine = i;
  }
  return at;
}

}  // namespace

clsSettings::clsSettings(std::string path) : path_(path.empty() ? DefaultPath() : std::move(path)) {}

std::string clsSettings::DefaultPath() {
  std::string dir;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg) {
    dir = xdg;
  } else {
    const char* home = std::getenv("HOME");
    dir = std::string(home ? home : "") + "/.config";
  }
  return dir + "/" + kAppName + ".conf";
}

std::optional<std::string> clsSettings::FileProblem() const {
  const std::string file = "the settings file \"" + path_ + "\"";
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path_, error);
  if (status.type() == std::filesystem::file_type::not_found) return std::nullopt;
  if (std::filesystem::is_directory(status)) return file + " cannot be read: it is a directory";
  const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return file + " cannot be read: " + std::strerror(errno);
  close(fd);
  for (const std::string& line : ReadLines(path_)) {
    const std::optional<std::string_view> name = SectionOf(line);
    if (name && SameName(*name, kSection)) return std::nullopt;
  }
  return file + " has no [" + kSection + "] section; its settings are not used";
}

std::string clsSettings::RegString(const std::string& strName) const {
  const std::vector<std::string> lines = ReadLines(path_);
  const Location at = Find(lines, strName);
  if (!at.keyLine) return {};
  return *ValueOf(lines[*at.keyLine], strName);
}

int32_t clsSettings::RegVal(const std::string& strName) const {
  return NumericText::ReadLong(RegString(strName), "clsSettings.RegVal");
}

void clsSettings::SetRegString(const std::string& strName, const std::string& value) {
  std::vector<std::string> raw = ReadLines(path_, true);
  std::vector<std::string> lines = raw;
  for (std::string& line : lines) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
  }
  const Location at = Find(lines, strName);
  // Blanks around the value would be lost to a reader that trims, so quote them.
  const bool quote = !value.empty() && (value.front() == ' ' || value.back() == ' ' ||
                                        value.front() == '\t' || value.back() == '\t' ||
                                        (value.front() == '"' && value.back() == '"'));
  const std::string entry = strName + "=" + (quote ? "\"" + value + "\"" : value);
  // The other lines are written back as they were read.
  if (at.keyLine) {
    const bool crlf = !raw[*at.keyLine].empty() && raw[*at.keyLine].back() == '\r';
    raw[*at.keyLine] = crlf ? entry + "\r" : entry;
  } else if (at.sectionEnd) {
    raw.insert(raw.begin() + static_cast<std::ptrdiff_t>(*at.sectionEnd), entry);
  } else {
    if (!lines.empty() && !TrimBlanks(lines.back()).empty()) raw.emplace_back();
    raw.push_back(std::string("[") + kSection + "]");
    raw.push_back(entry);
  }

  std::error_code ignored;
  const std::filesystem::path file(path_);
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ignored);
  std::ofstream out(path_, std::ios::binary | std::ios::trunc);
  for (const std::string& line : raw) out << line << '\n';
  if (!out) {
    throw base::RaisedError(75, "clsSettings.RegString", "Path/File access error");
  }
}

void clsSettings::SetRegVal(const std::string& strName, int32_t value) {
  SetRegString(strName, std::to_string(value));
}

}  // namespace toruna::server
