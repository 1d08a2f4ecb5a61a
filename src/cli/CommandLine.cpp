#include "cli/CommandLine.h"

#include "cli/CliSupport.h"

#include <CLI/CLI.hpp>
#include <cstdio>

namespace tlv::cli {

namespace {

const char* const kShortUsage =
    "Usage: tolvane-cli [--db FILE] [--json] COMMAND ...\n"
    "Commands: sites, show, add, set, delete, pin, backup, backups, download, run, options\n"
    "Run 'tolvane-cli --help' or 'tolvane-cli COMMAND --help' for details.\n";

int usageError(const std::string& message) {
    PrintError(message);
    std::fputs(kShortUsage, stderr);
    return kExitUsage;
}

} // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, TCommandLine& c) {
    CLI::App app{"Backs up the sites of Tolvane's site list from a terminal: the same sites, "
                 "database and engine as the desktop program.\n"
                 "Exit status: 0 all work succeeded, 1 a site failed, 2 usage error, 3 database "
                 "or set-up error.",
                 "tolvane-cli"};
    app.require_subcommand(1, 1);
    app.fallthrough();
    app.add_option("--db", c.Database,
                   "Use this database file (created with the schema when missing)")
        ->type_name("FILE");
    app.add_flag("--json", c.Json,
                 "Print one JSON document for sites, show, backups and the result of backup and "
                 "download");

    app.add_subcommand("sites", "List the sites: id, name, status, last backup, schedule");

    auto* show = app.add_subcommand("show", "Show every field of a site (passwords as ****)");
    show->add_option("SITE", c.Site, "Site id or exact name")->required();

    auto* add = app.add_subcommand(
        "add", "Add a site: checks its address and login first (unless --no-probe) and prints "
               "the new id");
    TAddArguments& a = c.Add;
    add->add_option("--name", a.Name, "The site's name")->required();
    add->add_option("--url", a.URL, "The site's address, http://... or https://...")->required();
    add->add_option("--user", a.User, "User name for the site's remote backup API")->required();
    add->add_option("--password", a.Password, "Password for the site's remote backup API")
        ->required();
    add->add_option("--ftp-host", a.FTPHost, "FTP server holding the backup archives (host name)");
    add->add_option("--ftp-port", a.FTPPort, "FTP port (default 21)")->check(CLI::Range(1, 65535));
    add->add_option("--ftp-user", a.FTPUser, "FTP user name");
    add->add_option("--ftp-password", a.FTPPassword, "FTP password");
    add->add_option("--ftp-dir", a.FTPDirectory, "Folder on the FTP server holding the archives");
    add->add_option("--download-dir", a.DownloadDirectory,
                    "Local folder for downloaded archives (default: the current folder when an "
                    "FTP host is given)")
        ->type_name("DIR");
    add->add_flag("--ftp-tls", a.FTPTLS, "FTP over implicit TLS");
    add->add_flag("--delete-after-download", a.DeleteAfterDownload,
                  "Delete each archive part on the server once downloaded");
    add->add_flag("--no-probe", a.NoProbe, "Store the site without checking it");

    auto* set = app.add_subcommand("set", "Change fields of a site by their names, e.g. "
                                          "Throttling=2");
    set->add_option("SITE", c.Site, "Site id or exact name")->required();
    set->add_option("FIELD=VALUE", c.Assignments, "Field assignments")->required();

    auto* del = app.add_subcommand("delete", "Delete a site");
    del->add_option("SITE", c.Site, "Site id or exact name")->required();

    auto* pin = app.add_subcommand(
        "pin", "Fetch the site's HTTPS certificate, show it, and trust it when confirmed");
    pin->add_option("SITE", c.Site, "Site id or exact name")->required();
    pin->add_flag("--yes", c.Yes, "Trust the certificate without asking");

    auto* backup = app.add_subcommand(
        "backup", "Back up sites (downloads follow as each site is set) and wait until done");
    auto* backupSites = backup->add_option("SITE", c.Sites, "Site ids or exact names");
    backup->add_flag("--all", c.AllSites, "Back up every site")->excludes(backupSites);

    auto* backups = app.add_subcommand("backups", "List the backup records a site holds");
    backups->add_option("SITE", c.Site, "Site id or exact name")->required();

    auto* download =
        app.add_subcommand("download", "Download an older backup of a site and wait until done");
    download->add_option("SITE", c.Site, "Site id or exact name")->required();
    download->add_option("BACKUP_ID", c.BackupID, "The backup's id (see backups)")->required();

    app.add_subcommand("run", "Run the scheduler until SIGINT or SIGTERM");

    auto* options = app.add_subcommand("options", "Read or write program options");
    std::string key, value;
    auto* keyOption = options->add_option("KEY", key, "Option name");
    auto* valueOption = options->add_option("VALUE", value, "New value");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e); // help
        return usageError(e.what());
    }
    if (keyOption->count() > 0)
        c.OptionKey = key;
    if (valueOption->count() > 0)
        c.OptionValue = value;
    c.Command = app.get_subcommands().front()->get_name();
    if (c.Command == "backup" && c.Sites.empty() && !c.AllSites)
        return usageError("backup needs SITE... or --all");
    return std::nullopt;
}

} // namespace tlv::cli
