#pragma once
// Where the commands' results go: one line per record on standard output, as
// text or as a JSON object, and notes on standard error. Every line is flushed
// at once, since scripts read the output while the command still runs.
// This class does not own the streams.

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "JsonWriter.h"

namespace toruna::cli {

using tools::JsonWriter;

class Output {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  Output(std::ostream& out, std::ostream& err, bool json);

  bool Json() const { return json_; }
  // Writes the JSON object in JSON mode, else the text.
  void Record(const JsonWriter& json, const std::string& text);
  // A line on standard error, whatever the mode.
  void Note(const std::string& text);

  // Local time with milliseconds, e.g. 2026-12-08T23:10:01.123.
  std::string TimeStamp() const;
  void SetClock(Clock clock) { clock_ = std::move(clock); }

  // Text from the wire made safe for a terminal line: control characters
  // (C0, DEL, C1) become '?'.
  static std::string Printable(std::string_view utf8);

 private:
  std::ostream& out_;
  std::ostream& err_;
  bool json_;
  Clock clock_;
};

}  // namespace toruna::cli
