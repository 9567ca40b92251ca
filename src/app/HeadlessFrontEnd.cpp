#include "app/HeadlessFrontEnd.h"

#include "app/LogLine.h"

namespace toruna::app {

void HeadlessFrontEnd::LogLineAdded(const std::string& line) {
  if (output_ != nullptr) {
    output_->Line(LogLine::Printable(line));
    return;
  }
  // Flushed at once so that a pipe or a service journal sees each line as it happens.
  *log_ << LogLine::Printable(line) << std::endl;
}

void HeadlessFrontEnd::Alert(const std::string& text, const std::string& caption) {
  if (caption.empty()) {
    alerts_ << text << std::endl;
  } else {
    alerts_ << caption << ": " << text << std::endl;
  }
}

}  // namespace toruna::app
