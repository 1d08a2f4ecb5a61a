#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tlv::cli {

// The `add` command's flags.
struct TAddArguments {
    std::string Name;
    std::string URL;
    std::string User;
    std::string Password;
    std::string FTPHost;
    int FTPPort = 21;
    std::string FTPUser;
    std::string FTPPassword;
    std::string FTPDirectory;
    std::string DownloadDirectory;
    bool FTPTLS = false;
    bool DeleteAfterDownload = false;
    bool NoProbe = false;
};

// What the command line asks for.
struct TCommandLine {
    std::string Database; // --db; empty: the normal location
    bool Json = false;
    std::string Command;

    std::string Site;                       // SITE of the commands that take one
    std::vector<std::string> Sites;         // backup: SITE..., in the order given
    bool AllSites = false;                  // backup --all
    std::vector<std::string> Assignments;   // set: FIELD=VALUE
    bool Yes = false;                       // pin --yes
    int BackupID = 0;                       // download
    std::optional<std::string> OptionKey;   // options KEY
    std::optional<std::string> OptionValue; // options KEY VALUE
    TAddArguments Add;
};

// Parses the arguments. Returns the exit status when the program is done already (help was
// asked for: 0; a usage error, reported on stderr with a short usage text: 2), or nothing
// when `commandLine` holds a command to run.
std::optional<int> ParseCommandLine(int argc, char** argv, TCommandLine& commandLine);

} // namespace tlv::cli
