#pragma once

#include "core/DateTime.h"
#include "core/Exceptions.h"
#include "sites/KeltroTypes.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace tlv {

class TKeltroSite;

namespace cli {

// The program's exit statuses.
enum ExitStatus : int {
    kExitOk = 0,         // all requested work succeeded
    kExitSiteFailed = 1, // some site failed (each failure is on stderr)
    kExitUsage = 2,      // the command line or a value on it is wrong
    kExitSetup = 3,      // the database or the program's set-up failed
};

// Input the user must correct: unknown site, field or option, a value that does not convert.
// Raised before anything is written.
class ECliUsage : public Exception {
    using Exception::Exception;
};

// The database or the program's set-up is not usable.
class ECliSetup : public Exception {
    using Exception::Exception;
};

// One line on stderr: "tolvane-cli: " + message (line breaks become "; ").
void PrintError(const std::string& message);

// The site named by a command argument: the site with that id, else the one with exactly that
// name. Raises ECliUsage when none (or more than one) matches.
TKeltroSite& FindSite(const std::string& idOrName);

// "YYYY-MM-DD hh:mm:ss", how dates are written on the command line and in JSON.
std::string FormatDateTime(TDateTime value);
// Reads "YYYY-MM-DD", "YYYY-MM-DD hh:mm[:ss]" (or with "T"), or a time of day "hh:mm[:ss]"
// (which lies on 30 December 1899, as a time-only value does). False when it does not read.
bool ParseDateTime(const std::string& text, TDateTime& value);

// `text` with each of the site's passwords replaced by "****" wherever it stands on its own
// (not inside a longer word): whatever a server or a library put into a message, nothing the
// program prints may reveal a password.
std::string MaskSecrets(const std::string& text, const TKeltroSiteDefinition& definition);

// Whether the stream is a terminal that takes cursor movements.
bool IsTerminal(std::FILE* stream);

// Characters (not bytes) of a UTF-8 text, for lining up columns.
size_t DisplayWidth(std::string_view text);

// Prints rows under a header line, each column as wide as its widest cell.
void PrintTable(std::FILE* out, const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows);

} // namespace cli
} // namespace tlv
