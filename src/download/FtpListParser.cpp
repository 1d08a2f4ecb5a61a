#include "download/FtpListParser.h"

#include "core/Text.h"

#include <array>
#include <charconv>

namespace tlv {

namespace {

struct Token {
    std::string_view text;
    std::size_t end; // offset just past the token in the line
};

// Splits off the first `count` blank-separated tokens; the rest of the line stays untouched
// because names may hold blanks of their own.
std::vector<Token> tokens(std::string_view line, std::size_t count) {
    std::vector<Token> result;
    std::size_t pos = 0;
    while (result.size() < count) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
        if (pos >= line.size())
            break;
        std::size_t start = pos;
        while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t')
            ++pos;
        result.push_back({line.substr(start, pos - start), pos});
    }
    return result;
}

bool allDigits(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

std::optional<int64_t> toSize(std::string_view text) {
    int64_t value = 0;
    if (!allDigits(text))
        return std::nullopt;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool isMonth(std::string_view text) {
    static constexpr std::array<std::string_view, 12> months = {
        "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    if (text.size() < 3)
        return false;
    for (auto month : months)
        if (EqualsNoCase(text.substr(0, 3), month))
            return true;
    return false;
}

// "12:00" or "2023": the last field of an ls date.
bool isTimeOrYear(std::string_view text) {
    if (allDigits(text))
        return text.size() == 4;
    auto colon = text.find(':');
    return colon != std::string_view::npos && allDigits(text.substr(0, colon)) &&
           allDigits(text.substr(colon + 1));
}

// "2023-01-15", the long-iso date some servers use.
bool isIsoDate(std::string_view text) {
    return text.size() == 10 && text[4] == '-' && text[7] == '-' && allDigits(text.substr(0, 4)) &&
           allDigits(text.substr(5, 2)) && allDigits(text.substr(8, 2));
}

bool isUnixType(char c) {
    return c == '-' || c == 'd' || c == 'l' || c == 'b' || c == 'c' || c == 'p' || c == 's';
}

// The name is everything after the date, less the single blank that separates them.
std::string_view nameAfter(std::string_view line, std::size_t dateEnd) {
    if (dateEnd < line.size() && line[dateEnd] == ' ')
        ++dateEnd;
    return dateEnd < line.size() ? line.substr(dateEnd) : std::string_view{};
}

std::optional<TFtpListEntry> parseUnix(std::string_view line) {
    if (line.size() < 10 || !isUnixType(line[0]))
        return std::nullopt;
    // Permissions, links, owner, group, size and a three-part date come to at most 9 fields;
    // a listing without the group column has one less.
    auto fields = tokens(line, 9);
    if (fields.size() < 6)
        return std::nullopt;
    const bool device = line[0] == 'b' || line[0] == 'c';
    for (std::size_t i = 3; i + 1 < fields.size(); ++i) {
        std::size_t dateEnd = 0;
        std::size_t sizeIndex = 0;
        if (i + 2 < fields.size() && isMonth(fields[i].text) && allDigits(fields[i + 1].text) &&
            isTimeOrYear(fields[i + 2].text)) {
            dateEnd = fields[i + 2].end;
            sizeIndex = i - 1;
        } else if (isIsoDate(fields[i].text) && isTimeOrYear(fields[i + 1].text)) {
            dateEnd = fields[i + 1].end;
            sizeIndex = i - 1;
        } else {
            continue;
        }
        if (!device && !allDigits(fields[sizeIndex].text))
            continue;
        TFtpListEntry entry;
        std::string_view name = nameAfter(line, dateEnd);
        entry.IsDirectory = line[0] == 'd';
        entry.IsSymbolicLink = line[0] == 'l';
        if (entry.IsSymbolicLink) {
            auto arrow = name.find(" -> ");
            if (arrow != std::string_view::npos) {
                entry.LinkTarget = std::string(name.substr(arrow + 4));
                name = name.substr(0, arrow);
            }
        }
        if (name.empty() || name == "." || name == "..")
            return std::nullopt;
        entry.Name = std::string(name);
        // Device files show "major, minor" where the size would be.
        if (!device)
            entry.Size = toSize(fields[sizeIndex].text).value_or(-1);
        return entry;
    }
    return std::nullopt;
}

// "01-15-24  03:04PM       <DIR>          name" or "01-15-2024  15:04   12345 name".
std::optional<TFtpListEntry> parseWindows(std::string_view line) {
    auto fields = tokens(line, 3);
    if (fields.size() < 3)
        return std::nullopt;
    std::string_view date = fields[0].text;
    if ((date.size() != 8 && date.size() != 10) || date[2] != '-' || date[5] != '-' ||
        !allDigits(date.substr(0, 2)) || !allDigits(date.substr(3, 2)) ||
        !allDigits(date.substr(6)))
        return std::nullopt;
    std::string_view time = fields[1].text;
    if (time.size() >= 2 && (EqualsNoCase(time.substr(time.size() - 2), "AM") ||
                             EqualsNoCase(time.substr(time.size() - 2), "PM")))
        time.remove_suffix(2);
    if (!isTimeOrYear(time) || allDigits(time))
        return std::nullopt;
    TFtpListEntry entry;
    if (EqualsNoCase(fields[2].text, "<DIR>")) {
        entry.IsDirectory = true;
    } else {
        // Some servers group the digits ("1,234,567").
        std::string digits;
        for (char c : fields[2].text)
            if (c != ',' && c != '.')
                digits += c;
        auto size = toSize(digits);
        if (!size)
            return std::nullopt;
        entry.Size = *size;
    }
    std::string_view name = TrimLeft(line.substr(fields[2].end));
    if (name.empty() || name == "." || name == "..")
        return std::nullopt;
    entry.Name = std::string(name);
    return entry;
}

} // namespace

std::optional<TFtpListEntry> ParseFtpListLine(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    if (line.empty())
        return std::nullopt;
    if (auto entry = parseUnix(line))
        return entry;
    return parseWindows(line);
}

std::vector<TFtpListEntry> ParseFtpListing(std::string_view listing) {
    std::vector<TFtpListEntry> entries;
    while (!listing.empty()) {
        auto end = listing.find('\n');
        std::string_view line = listing.substr(0, end);
        if (auto entry = ParseFtpListLine(line))
            entries.push_back(std::move(*entry));
        if (end == std::string_view::npos)
            break;
        listing.remove_prefix(end + 1);
    }
    return entries;
}

} // namespace tlv
