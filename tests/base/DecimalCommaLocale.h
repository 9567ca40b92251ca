#pragma once
// A decimal-comma locale (German) in force for the C library while the object
// lives, as a desktop user's locale is in a tray front end. It is
// compiled with localedef into a directory of its own (LOCPATH), so it needs only
// Debian's locale sources, not a locale generated on the machine. Failing to make
// it is a test failure, never a skip.

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace toruna::base::testing {

class DecimalCommaLocale {
 public:
  DecimalCommaLocale() {
    char tmpl[] = "/tmp/toruna-locale-XXXXXX";
    if (!mkdtemp(tmpl)) {
      ADD_FAILURE() << "no directory for the locale";
      return;
    }
    dir_ = tmpl;
    const std::string command =
        "localedef -c -i de_DE -f ISO-8859-1 '" + dir_ + "/de_DE' >/dev/null 2>&1";
    if (std::system(command.c_str()) == -1 || !std::filesystem::exists(dir_ + "/de_DE/LC_NUMERIC")) {
      ADD_FAILURE() << "localedef could not make de_DE (is Debian's locales package installed?)";
      return;
    }
    setenv("LOCPATH", dir_.c_str(), 1);
    // As a toolkit puts the user's locale in force (setlocale(LC_ALL, "")).
    if (!std::setlocale(LC_ALL, "de_DE")) {
      ADD_FAILURE() << "de_DE cannot be put in force";
      return;
    }
    const char* mark = std::localeconv()->decimal_point;
    active_ = mark != nullptr && std::string(mark) == ",";
    if (!active_) ADD_FAILURE() << "de_DE is in force but its decimal mark is not a comma";
  }
  ~DecimalCommaLocale() {
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  DecimalCommaLocale(const DecimalCommaLocale&) = delete;
  DecimalCommaLocale& operator=(const DecimalCommaLocale&) = delete;

  // The locale is in force and reads a comma as its decimal mark.
  bool active() const { return active_; }

 private:
  std::string dir_;
  bool active_ = false;
};

}  // namespace toruna::base::testing
