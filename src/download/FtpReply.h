#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tlv {

// One complete server reply: its three-digit code and every line as received (code included).
struct TFtpReply {
    int Code = 0;
    std::vector<std::string> Lines;

    // 1 to 5: preliminary, completion, intermediate, transient and permanent failure.
    int Kind() const { return Code / 100; }
    // The reply's words without the codes, lines joined by blanks: what an error message shows.
    std::string Text() const;
};

// Builds replies from control-connection lines. A reply is "DDD text", or a block that opens
// with "DDD-text" and closes with a line starting "DDD " of the same code; lines in between are
// free text. A server that never closes its block, or floods one reply, is cut off by the line
// cap instead of growing memory without bound.
class FtpReplyAssembler {
public:
    static constexpr std::size_t MaxLines = 10000;

    // Feeds one line without its line end. Returns the reply it completes, if any. Raises
    // EFtpError for a line that cannot start a reply or a reply longer than MaxLines.
    std::optional<TFtpReply> Feed(std::string_view line);

    // True while a multi-line reply has begun but not ended.
    bool Pending() const { return !m_lines.empty(); }

private:
    int m_code = 0;
    std::vector<std::string> m_lines;
};

} // namespace tlv
