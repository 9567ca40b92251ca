#pragma once
// Settings read as whole numbers in a range, from a table of keys. A key that
// is missing keeps its default; one that is not a whole number in its range
// keeps its default too, and says so in one sentence, e.g.
// "KeepAliveIdle=soon in the settings file is not a whole number from 0 to 32767; 30 is used".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/clsSettings.h"

namespace toruna::server {

template <class Values>
struct WholeNumberKey {
  const char* name;
  int32_t Values::*field;
  int64_t least;
  int64_t most;
};

// Decimal digits with blanks around them; anything else is no number. Stricter
// than the older numeric settings on purpose: "2m" must not read as 2 seconds.
std::optional<int64_t> WholeNumber(std::string_view text);

// The sentence for a value that was not taken.
std::string WholeNumberProblem(const char* name, const std::string& text, int64_t least, int64_t most,
                               int32_t kept);

template <class Values, size_t N>
void ReadWholeNumbers(const clsSettings& settings, const WholeNumberKey<Values> (&keys)[N], Values& values,
                      std::vector<std::string>& problems) {
  for (const WholeNumberKey<Values>& key : keys) {
    const std::string text = settings.RegString(key.name);
    if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
    const std::optional<int64_t> value = WholeNumber(text);
    int32_t& field = values.*key.field;
    if (value && *value >= key.least && *value <= key.most) {
      field = static_cast<int32_t>(*value);
    } else {
      problems.push_back(WholeNumberProblem(key.name, text, key.least, key.most, field));
    }
  }
}

}  // namespace toruna::server
