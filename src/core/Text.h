#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tlv {

// Small text helpers shared across the core. All texts are UTF-8; letter-case folding touches
// ASCII letters only, which is all that keys, option names and protocol words ever need.

std::string_view Trim(std::string_view text);
std::string_view TrimLeft(std::string_view text);
std::string_view TrimRight(std::string_view text);
std::string ToLowerAscii(std::string_view text);
std::string ToUpperAscii(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
std::vector<std::string> Split(std::string_view text, char separator);

// Replaces each "%s" of a translated template by the next argument, in order. Translations are
// data, not printf formats: any other "%" sequence stays as it is, surplus "%s" stay literally
// and surplus arguments are dropped, so no language file can make this misbehave.
std::string FormatTemplate(std::string_view pattern, const std::vector<std::string>& args);

// Replaces every occurrence of `from` (which must not be empty) by `to`.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);

} // namespace tlv
