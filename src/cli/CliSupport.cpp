#include "cli/CliSupport.h"

#include "core/Text.h"
#include "sites/SiteManager.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace tlv::cli {

void PrintError(const std::string& message) {
    std::string line = "tolvane-cli: " + message;
    for (const char* lineBreak : {"\r\n", "\r", "\n"})
        line = ReplaceAll(line, lineBreak, "; ");
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

TKeltroSite& FindSite(const std::string& idOrName) {
    TKeltroSiteManager& manager = TKeltroSiteManager::Instance();
    const bool digits =
        !idOrName.empty() &&
        std::all_of(idOrName.begin(), idOrName.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits && idOrName.size() <= 9) {
        const int32_t id = std::stoi(idOrName);
        for (TKeltroSite& site : manager.Sites())
            if (site.Definition().SiteID == id)
                return site;
    }
    TKeltroSite* found = nullptr;
    int matches = 0;
    for (TKeltroSite& site : manager.Sites())
        if (site.Definition().SiteName == idOrName) {
            found = &site;
            ++matches;
        }
    if (matches > 1)
        throw ECliUsage(std::to_string(matches) + " sites are named \"" + idOrName +
                        "\"; name the site by its id");
    if (!found)
        throw ECliUsage("unknown site: " + idOrName);
    return *found;
}

std::string FormatDateTime(TDateTime value) {
    const TDateTime::Parts p = value.Decode();
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day,
                  p.hour, p.minute, p.second);
    return text;
}

namespace {

// Reads exactly `width` digits at `pos`.
bool digitsAt(std::string_view text, size_t pos, size_t width, int& value) {
    if (pos + width > text.size())
        return false;
    value = 0;
    for (size_t i = pos; i < pos + width; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// "hh:mm" or "hh:mm:ss", the whole text.
bool parseTime(std::string_view text, TDateTime& time) {
    int hour = 0, minute = 0, second = 0;
    if (!(text.size() == 5 || text.size() == 8) || !digitsAt(text, 0, 2, hour) || text[2] != ':' ||
        !digitsAt(text, 3, 2, minute))
        return false;
    if (text.size() == 8 && (text[5] != ':' || !digitsAt(text, 6, 2, second)))
        return false;
    return TDateTime::TryEncodeTime(hour, minute, second, 0, time);
}

} // namespace

bool ParseDateTime(const std::string& input, TDateTime& value) {
    const std::string_view text = Trim(input);
    TDateTime time;
    if (parseTime(text, time)) {
        value = time;
        return true;
    }
    int year = 0, month = 0, day = 0;
    TDateTime date;
    if (text.size() < 10 || !digitsAt(text, 0, 4, year) || text[4] != '-' ||
        !digitsAt(text, 5, 2, month) || text[7] != '-' || !digitsAt(text, 8, 2, day) ||
        !TDateTime::TryEncodeDate(year, month, day, date))
        return false;
    if (text.size() == 10) {
        value = date;
        return true;
    }
    if ((text[10] != ' ' && text[10] != 'T') || !parseTime(text.substr(11), time))
        return false;
    value = TDateTime::Combine(date, time);
    return true;
}

namespace {

bool isWordCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (static_cast<unsigned char>(c) & 0x80) != 0;
}

// Replaces `secret` where it stands on its own: not inside a longer word, so that a password
// such as "pass" does not turn every "password" of a message into "****word".
void maskWhole(std::string& text, const std::string& secret) {
    size_t from = 0;
    while ((from = text.find(secret, from)) != std::string::npos) {
        const size_t end = from + secret.size();
        const bool alone =
            (from == 0 || !isWordCharacter(text[from - 1]) || !isWordCharacter(secret.front())) &&
            (end == text.size() || !isWordCharacter(text[end]) || !isWordCharacter(secret.back()));
        if (alone) {
            text.replace(from, secret.size(), "****");
            from += 4;
        } else {
            ++from;
        }
    }
}

} // namespace

std::string MaskSecrets(const std::string& text, const TKeltroSiteDefinition& definition) {
    std::string masked = text;
    for (const std::string* secret : {&definition.Password, &definition.FTPPassword,
                                      &definition.ProxyPassword, &definition.FPPassword})
        if (!Trim(*secret).empty())
            maskWhole(masked, *secret);
    return masked;
}

bool IsTerminal(std::FILE* stream) {
    if (!isatty(fileno(stream)))
        return false;
    const char* term = std::getenv("TERM");
    return !(term && std::strcmp(term, "dumb") == 0);
}

size_t DisplayWidth(std::string_view text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

void PrintTable(std::FILE* out, const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths(header.size(), 0);
    auto measure = [&](const std::vector<std::string>& row) {
        for (size_t i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], DisplayWidth(row[i]));
    };
    measure(header);
    for (const auto& row : rows)
        measure(row);
    auto print = [&](const std::vector<std::string>& row) {
        std::string line;
        for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(widths[i] - DisplayWidth(row[i]) + 2, ' ');
        }
        std::fprintf(out, "%s\n", line.c_str());
    };
    print(header);
    for (const auto& row : rows)
        print(row);
}

} // namespace tlv::cli
