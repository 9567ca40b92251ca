#include "OptionScanner.h"

#include <utility>

namespace toruna::tools {

OptionScanner::OptionScanner(const std::vector<std::string>& args, size_t first, Fail fail)
    : args_(args), next_(first), fail_(std::move(fail)) {}

bool OptionScanner::Next() {
  inlineValue_.reset();
  while (next_ < args_.size()) {
    const std::string& arg = args_[next_++];
    if (optionsEnded_ || arg.size() < 2 || arg[0] != '-') {
      kind_ = Kind::Positional;
      name_ = arg;
      return true;
    }
    if (arg[1] != '-') {
      kind_ = Kind::Short;
      name_ = arg;
      return true;
    }
    if (arg == "--") {
      optionsEnded_ = true;
      continue;
    }
    kind_ = Kind::Long;
    const size_t eq = arg.find('=');
    name_ = arg.substr(0, eq);
    if (eq != std::string::npos) inlineValue_ = arg.substr(eq + 1);
    return true;
  }
  return false;
}

std::string OptionScanner::Value() {
  if (inlineValue_) return *inlineValue_;
  if (next_ >= args_.size()) Failed(name_ + " needs a value");
  return args_[next_++];
}

void OptionScanner::Flag() const {
  if (inlineValue_) Failed(name_ + " takes no value");
}

void OptionScanner::Failed(const std::string& message) const {
  if (fail_) fail_(message);
  throw OptionError(message);
}

}  // namespace toruna::tools
