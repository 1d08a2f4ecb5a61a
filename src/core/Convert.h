#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tlv {

// Text-to-number conversions with the same rules everywhere options and stored values are read.
// Each raises EConvertError naming the offending text.

// Decimal whole number with optional sign and surrounding blanks; "$" or "0x" prefixes read hex.
int StrToInt(std::string_view text);
int64_t StrToInt64(std::string_view text);
bool TryStrToInt(std::string_view text, int& value);

// A number is true when not zero; "true"/"false" are accepted in any letter case.
bool StrToBool(std::string_view text);
bool TryStrToBool(std::string_view text, bool& value);

// Truth values are written as "-1" and "0".
std::string BoolToStr(bool value);

} // namespace tlv
