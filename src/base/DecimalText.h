#pragma once
// Decimal numbers read from text the same way in every locale: the point is the
// decimal mark, whatever the process's locale says (a tray front end runs under
// the desktop user's locale, where it may be a comma).

#include <string_view>

namespace toruna::base {

// The value of text of the form [+|-]digits[.digits][(e|E)[+|-]digits] (at least
// one digit before the exponent). A value too large for a double is +-infinity,
// one too small +-0. Text of any other form reads as 0.
double ReadDecimal(std::string_view text);

}  // namespace toruna::base
