#include "Output.h"

#include <cstdio>
#include <ctime>

namespace toruna::cli {

Output::Output(std::ostream& out, std::ostream& err, bool json)
    : out_(out), err_(err), json_(json), clock_([] { return std::chrono::system_clock::now(); }) {}

void Output::Record(const JsonWriter& json, const std::string& text) {
  out_ << (json_ ? json.Str() : text) << '\n';
  out_.flush();
}

void Output::Note(const std::string& text) {
  err_ << "toruna-cli: " << text << '\n';
  err_.flush();
}

std::string Output::TimeStamp() const {
  using namespace std::chrono;
  const auto now = clock_();
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::time_t t = system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms < 0 ? ms + 1000 : ms));
  return buf;
}

std::string Output::Printable(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto ch = static_cast<unsigned char>(utf8[i]);
    if (ch < 0x20 || ch == 0x7F) {
      out += '?';
    } else if (ch == 0xC2 && i + 1 < utf8.size() &&
               static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
      out += '?';  // U+0080..U+009F
      ++i;
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out;
}

}  // namespace toruna::cli
