#include "download/FtpReply.h"

#include "download/FtpError.h"

namespace tlv {

namespace {
// The code of a line that starts with three digits followed by `separator`, or at the line's
// end when `separator` is a blank (servers send a bare "226" now and then); 0 otherwise.
int codeOf(std::string_view line, char separator) {
    if (line.size() < 3)
        return 0;
    for (int i = 0; i < 3; ++i)
        if (line[i] < '0' || line[i] > '9')
            return 0;
    if (line.size() == 3 ? separator != ' ' : line[3] != separator)
        return 0;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}
} // namespace

std::string TFtpReply::Text() const {
    std::string text;
    for (const auto& line : Lines) {
        std::string_view words = line;
        if (codeOf(words, ' ') || codeOf(words, '-'))
            words.remove_prefix(words.size() > 3 ? 4 : 3);
        while (!words.empty() && words.front() == ' ')
            words.remove_prefix(1);
        if (words.empty())
            continue;
        if (!text.empty())
            text += ' ';
        text += words;
    }
    return text.empty() && Code ? std::to_string(Code) : text;
}

std::optional<TFtpReply> FtpReplyAssembler::Feed(std::string_view line) {
    if (m_lines.empty()) {
        if (int code = codeOf(line, ' '))
            return TFtpReply{code, {std::string(line)}};
        int code = codeOf(line, '-');
        if (!code)
            throw EFtpError("Malformed reply from the server: " + std::string(line.substr(0, 80)));
        m_code = code;
        m_lines.emplace_back(line);
        return std::nullopt;
    }
    if (m_lines.size() >= MaxLines)
        throw EFtpError("The server's reply is too long");
    m_lines.emplace_back(line);
    if (codeOf(line, ' ') != m_code)
        return std::nullopt;
    TFtpReply reply{m_code, std::move(m_lines)};
    m_lines.clear();
    m_code = 0;
    return reply;
}

} // namespace tlv
