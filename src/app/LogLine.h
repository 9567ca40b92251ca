#pragma once
// A log entry as the console and the window show it: always exactly one line.
// A client chooses its own name, and its name is part of a log entry; line breaks
// or terminal controls in it must not make the log show entries that the server
// never wrote, to a person reading it or to a collector that splits it into lines.

#include <string>
#include <string_view>

namespace toruna::app {

class LogLine {
 public:
  // line with every control character written as \xHH (upper-case hex): the
  // bytes 00-1F and 7F, and the two bytes of each C1 control U+0080-U+009F
  // (which terminals obey too, e.g. U+008D moves the cursor up a line).
  // Every other byte is kept as it is.
  static std::string Printable(std::string_view line);
};

}  // namespace toruna::app
