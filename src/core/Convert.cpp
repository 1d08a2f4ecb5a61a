#include "core/Convert.h"

#include "core/Exceptions.h"
#include "core/Text.h"

#include <charconv>
#include <limits>

namespace tlv {

namespace {

bool parseInt64(std::string_view text, int64_t& value) {
    std::string_view s = Trim(text);
    if (s.empty())
        return false;
    bool negative = false;
    if (s.front() == '+' || s.front() == '-') {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (!s.empty() && s.front() == '$') {
        base = 16;
        s.remove_prefix(1);
    } else if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty())
        return false;
    uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
    if (ec != std::errc() || end != s.data() + s.size())
        return false;
    constexpr uint64_t maxPositive = std::numeric_limits<int64_t>::max();
    if (negative) {
        if (magnitude > maxPositive + 1)
            return false;
        value = magnitude == maxPositive + 1 ? std::numeric_limits<int64_t>::min()
                                             : -static_cast<int64_t>(magnitude);
    } else {
        if (magnitude > maxPositive)
            return false;
        value = static_cast<int64_t>(magnitude);
    }
    return true;
}

[[noreturn]] void throwNotInteger(std::string_view text) {
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
}

} // namespace

bool TryStrToInt(std::string_view text, int& value) {
    int64_t wide = 0;
    if (!parseInt64(text, wide) || wide < std::numeric_limits<int>::min() ||
        wide > std::numeric_limits<int>::max())
        return false;
    value = static_cast<int>(wide);
    return true;
}

int StrToInt(std::string_view text) {
    int value = 0;
    if (!TryStrToInt(text, value))
        throwNotInteger(text);
    return value;
}

int64_t StrToInt64(std::string_view text) {
    int64_t value = 0;
    if (!parseInt64(text, value))
        throwNotInteger(text);
    return value;
}

bool TryStrToBool(std::string_view text, bool& value) {
    if (EqualsNoCase(text, "true")) {
        value = true;
        return true;
    }
    if (EqualsNoCase(text, "false")) {
        value = false;
        return true;
    }
    int64_t number = 0;
    if (parseInt64(text, number)) {
        value = number != 0;
        return true;
    }
    return false;
}

bool StrToBool(std::string_view text) {
    bool value = false;
    if (!TryStrToBool(text, value))
        throw EConvertError("'" + std::string(text) + "' is not a valid boolean value");
    return value;
}

std::string BoolToStr(bool value) { return value ? "-1" : "0"; }

} // namespace tlv
