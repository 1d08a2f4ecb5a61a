#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tlv {

// One entry of a LIST reply.
struct TFtpListEntry {
    std::string Name;
    int64_t Size = -1; // -1 when the listing gives none
    bool IsDirectory = false;
    bool IsSymbolicLink = false;
    std::string LinkTarget; // for symbolic links whose listing names the target

    bool operator==(const TFtpListEntry&) const = default;
};

// Reads one line of a detailed listing in the Unix "ls -l" form (as most servers send it) or
// the Windows/IIS form ("01-15-24  03:04PM  <DIR>  name"). Returns nothing for lines that hold
// no entry ("total 12", blank lines, formats it does not know), and for "." and "..".
std::optional<TFtpListEntry> ParseFtpListLine(std::string_view line);

// Every entry of a listing, in the server's order; lines may end in CR LF or LF.
std::vector<TFtpListEntry> ParseFtpListing(std::string_view listing);

} // namespace tlv
