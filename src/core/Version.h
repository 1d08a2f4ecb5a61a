#pragma once

#include <string_view>

namespace tlv {

// Reads an API version text "major.minor" as major * 100 + minor; an empty text is 100 (1.0).
// A text that is not two whole numbers joined by "." (such as "3" or "2.1.5") raises
// EConvertError: callers decide what an unreadable server version means for them.
int ToVersionNumber(std::string_view version);

// From this API version on, the server reports the names of all archive parts.
constexpr int kFirstVersionWithParts = 201;

} // namespace tlv
