#pragma once
// The per-user settings store: text values found by application name
// ("Velmor Software"), section ("Toruna") and key. On Linux it is the INI file
// "$XDG_CONFIG_HOME/Velmor Software.conf" ("~/.config/..." when the variable is
// unset). A missing file, section or key reads as empty. It has no state of its
// own: every read opens the file again.

#include <cstdint>
#include <optional>
#include <string>

namespace toruna::server {

class clsSettings {
 public:
  static constexpr const char* kAppName = "Velmor Software";
  static constexpr const char* kSection = "Toruna";

  // path: the INI file to use; empty: the user's file (DefaultPath()).
  explicit clsSettings(std::string path = {});

  // The stored text read as a number (see NumericText), nearest integer; 0 when
  // there is no value. Raises 6 "Overflow" beyond the signed 32-bit range.
  int32_t RegVal(const std::string& strName) const;
  void SetRegVal(const std::string& strName, int32_t value);

  // The stored text unchanged (blanks around it kept); empty when there is none.
  std::string RegString(const std::string& strName) const;
  void SetRegString(const std::string& strName, const std::string& value);

  // Why a file that exists gives no settings (it cannot be read, or has no
  // [Toruna] section), as one sentence naming it; nothing for a missing file.
  std::optional<std::string> FileProblem() const;

  const std::string& Path() const { return path_; }
  static std::string DefaultPath();

 private:
  std::string path_;
};

}  // namespace toruna::server
