// tolvane-cli: the engine of the desktop program from a terminal, for servers, cron and systemd
// timers. The same sites, database and options; exit statuses and JSON for scripts.

#include "cli/CliSupport.h"
#include "cli/CommandLine.h"
#include "cli/EngineCommands.h"
#include "cli/SiteCommands.h"
#include "sites/SiteManager.h"
#include "storage/DatabaseConnection.h"
#include "storage/Options.h"
#include "storage/Paths.h"
#include "storage/Translate.h"

#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace tlv::cli {

namespace {

// Refuses a file that is some other program's database before anything touches it.
void checkDatabaseFile(const std::string& file) {
    TSQLiteDatabase db(file); // raises for a file that is no database or cannot be written
    auto query = db.Query("SELECT COUNT(*) AS [Tables] FROM [sqlite_master] WHERE [type] = "
                          "'table' AND [name] IN ('Sites', 'Options')");
    if (!query.Next() || query.FieldAsInteger("Tables") != 2)
        throw ECliSetup(file + " is not a Tolvane database");
}

void openDatabase(const TCommandLine& c) {
    if (!c.Database.empty())
        SetDatabaseFileOverride(fs::absolute(c.Database).lexically_normal().generic_string());
    const std::string file = DatabaseFilePath();
    std::error_code ec;
    if (fs::exists(file, ec))
        checkDatabaseFile(file);
    DatabaseConnection();
}

int dispatch(const TCommandLine& c) {
    static const std::map<std::string, int (*)(const TCommandLine&)> commands = {
        {"sites", &ListSites},
        {"show", &ShowSite},
        {"add", &AddSite},
        {"set", &SetSiteFields},
        {"delete", &DeleteSite},
        {"pin", &PinCertificate},
        {"backup", &BackupSites},
        {"backups", &ListBackups},
        {"download", &DownloadOlderBackup},
        {"run", &RunScheduler},
        {"options", &ReadOrWriteOptions},
    };
    return commands.at(c.Command)(c);
}

int run(const TCommandLine& c) {
    // The command line is a second front end of the installation it lives in: it reads the
    // desktop program's settings file beside it, so both agree on portable mode and so on the
    // database, and the languages folder beside it.
    SetProgramPath(ProgramFolder() + "/tolvane");
    int status = kExitOk;
    try {
        openDatabase(c);
        JTranslate::Instance();
        TKeltroSiteManager::Instance();
        status = dispatch(c);
    } catch (const ECliUsage& e) {
        PrintError(e.what());
        status = kExitUsage;
    } catch (const ESQLiteException& e) {
        PrintError(std::string("database error: ") + e.what());
        status = kExitSetup;
    } catch (const EInOutError& e) {
        PrintError(e.what());
        status = kExitSetup;
    } catch (const ECliSetup& e) {
        PrintError(e.what());
        status = kExitSetup;
    } catch (const Exception& e) {
        PrintError(e.what());
        status = kExitSiteFailed;
    } catch (const std::exception& e) {
        PrintError(e.what());
        status = kExitSetup;
    }
    TKeltroSiteManager::Release();
    TOptionsRegistry::Release();
    JTranslate::Release();
    ReleaseDatabaseConnection();
    return status;
}

} // namespace

} // namespace tlv::cli

int main(int argc, char** argv) {
    tlv::cli::TCommandLine commandLine;
    if (const auto status = tlv::cli::ParseCommandLine(argc, argv, commandLine))
        return *status;
    return tlv::cli::run(commandLine);
}
