#pragma once
// The walk over a command line that the tools share: long options ("--name VALUE"
// or "--name=VALUE"), short ones ("-h"), "--" ending the options, and the rest
// positional. It knows no option by name: the caller decides what each means. It
// does no I/O; a value that is missing or not wanted is reported through the
// caller's fail, which throws the caller's own usage error.

#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace toruna::tools {

class OptionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class OptionScanner {
 public:
  // Called with the text of a usage error ("--name needs a value"); it throws. When
  // it returns, OptionError is thrown instead.
  using Fail = std::function<void(const std::string& message)>;

  // Walks args from position first on. args must outlive the scanner.
  OptionScanner(const std::vector<std::string>& args, size_t first, Fail fail);

  // Moves to the next argument (skipping the "--" that ends the options); false
  // when none is left.
  bool Next();
  // The argument is a long option: Name() is "--name", without any "=value".
  bool IsOption() const { return kind_ == Kind::Long; }
  // The argument is a short option such as "-h" (a lone "-" is positional).
  bool IsShortOption() const { return kind_ == Kind::Short; }
  // The option's name, or the argument itself.
  const std::string& Name() const { return name_; }

  // The long option's value: what follows its '=', or else the next argument.
  // Fails with "NAME needs a value" when there is none.
  std::string Value();
  // For an option that takes no value: fails with "NAME takes no value" when one
  // was given after '='.
  void Flag() const;

 private:
  enum class Kind { Positional, Long, Short };

  [[noreturn]] void Failed(const std::string& message) const;

  const std::vector<std::string>& args_;
  size_t next_;
  Fail fail_;
  bool optionsEnded_ = false;
  Kind kind_ = Kind::Positional;
  std::string name_;
  std::optional<std::string> inlineValue_;
};

}  // namespace toruna::tools
