#pragma once
// The one error that members raise to their caller: a number, a source and a
// description, as an owner would see them in an error dialog.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace toruna::base {

class RaisedError : public std::runtime_error {
 public:
  RaisedError(int32_t number, std::string source, std::string description)
      : std::runtime_error(std::to_string(number) + " " + source + ": " + description),
        number_(number),
        source_(std::move(source)),
        description_(std::move(description)) {}

  int32_t Number() const { return number_; }
  const std::string& Source() const { return source_; }
  const std::string& Description() const { return description_; }

 private:
  int32_t number_;
  std::string source_;
  std::string description_;
};

// Numbers and texts raised by the socket layer and the server.
inline constexpr int32_t kErrOverflow = 6;          // "Overflow"
inline constexpr int32_t kErrOutOfMemory = 7;       // "Out of memory"
inline constexpr int32_t kErrWrongState = 40006;    // receive/accept in the wrong state
inline constexpr int32_t kErrBadArgument = 40014;
inline constexpr int32_t kErrUnsupportedType = 40018;
inline constexpr int32_t kErrInvalidOperation = 40020;

inline constexpr const char* kTextOverflow = "Overflow";
inline constexpr const char* kTextOutOfMemory = "Out of memory";
inline constexpr const char* kTextWrongState =
    "Wrong protocol or connection state for the requested transaction or request";
inline constexpr const char* kTextBadArgument =
    "The argument passed to a function was not in the correct format or in the specified range.";
inline constexpr const char* kTextInvalidArgument = "Invalid argument";
inline constexpr const char* kTextUnsupportedType = "Unsupported variant type.";
inline constexpr const char* kTextInvalidOperation = "Invalid operation at current state";

}  // namespace toruna::base
