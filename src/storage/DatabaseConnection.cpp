#include "storage/DatabaseConnection.h"

#include "storage/Paths.h"

#include <exception>
#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

namespace tlv {

namespace {

std::unique_ptr<TSQLiteDatabase> g_connection;
std::string g_fileOverride;

constexpr const char* kSchema[] = {
    "CREATE TABLE [Sites] ([SiteID] INTEGER  PRIMARY KEY NOT NULL,[SiteName] VARCHAR(255)  NOT "
    "NULL,[URL] VARCHAR(255)  NULL,[Port] INTEGER DEFAULT '80' NOT NULL,[UseSSL] BOOLEAN DEFAULT "
    "'False' NOT NULL,[Username] VARCHAR(255)  NULL,[Password] VARCHAR(255)  NULL,[Profile] "
    "INTEGER DEFAULT '1' NULL,[FTPHost] VARCHAR(255)  NULL,[FTPUsername] VARCHAR(255)  "
    "NULL,[FTPPassword] VARCHAR(255)  NULL,[FTPPort] INTEGER DEFAULT '21' "
    "NULL,[FTPInitialDirectory] VARCHAR(255)  NULL,[DownloadWhenDone] BOOLEAN DEFAULT 'False' "
    "NULL,[DownloadLogOnFailure] BOOLEAN DEFAULT 'False' NULL,[DownloadDirectory] VARCHAR(1000)  "
    "NULL,[CertificateSignature] VARCHAR(100)  NULL,[BasicAuthentication] BOOLEAN DEFAULT "
    "'False' NULL,[ProxyPassword] VARCHAR(255)  NULL,[ProxyPort] INTEGER  NULL,[ProxyServer] "
    "VARCHAR(255)  NULL,[ProxyUsername] VARCHAR(255)  NULL,[FPType] INTEGER DEFAULT '0' "
    "NULL,[FPHost] VARCHAR(255)  NULL,[FPUserName] VARCHAR(255)  NULL,[FPPassword] VARCHAR(255)  "
    "NULL,[FPPort] INTEGER  NULL,[ScheduleFrequency] VARCHAR(12)  NULL,[StartDate] DATE  "
    "NULL,[StartTime] TIME  NULL,[ScheduleEnabled] BOOLEAN DEFAULT 'False' NULL,[LastBackup] "
    "TIMESTAMP  NULL,[FTPActiveMode] BOOLEAN,[FTPKeepAlive] BOOLEAN,[Throttling] "
    "INTEGER,[DownloadLeadTime] INTEGER,[DeleteAfterDownload] BOOLEAN,[FTPUseSSL] BOOLEAN);",
    "CREATE TABLE [Options] ([Key] VARCHAR(50)  NOT NULL PRIMARY KEY,[Value] VARCHAR(255)  NULL)",
    "INSERT INTO [Options] ([Key],[Value]) VALUES (\"DBVersion\", 2);",
};

constexpr const char* kUpgrade[] = {
    "ALTER TABLE [Sites] ADD COLUMN [FTPActiveMode] BOOLEAN",
    "ALTER TABLE [Sites] ADD COLUMN [FTPKeepAlive] BOOLEAN",
    "ALTER TABLE [Sites] ADD COLUMN [Throttling] INTEGER",
    "ALTER TABLE [Sites] ADD COLUMN [DownloadLeadTime] INTEGER",
    "ALTER TABLE [Sites] ADD COLUMN [DeleteAfterDownload] BOOLEAN",
    "ALTER TABLE [Sites] ADD COLUMN [FTPUseSSL] BOOLEAN",
    "UPDATE [Sites] SET [FTPActiveMode] = 0",
    "UPDATE [Sites] SET [FTPKeepAlive] = 0",
    "UPDATE [Sites] SET [Throttling] = 0",
    "UPDATE [Sites] SET [DownloadLeadTime] = 0",
    "UPDATE [Sites] SET [DeleteAfterDownload] = 0",
    "UPDATE [Sites] SET [FTPUseSSL] = 0",
    "UPDATE [Options] SET [Value] = 2 WHERE [Key] = \"DBVersion\"",
};

void ensureFolder(const fs::path& folder) {
    std::error_code ec;
    if (fs::is_directory(folder, ec))
        return;
    fs::create_directories(folder, ec);
    if (ec)
        throw EInOutError("Cannot create the folder \"" + folder.generic_string() +
                          "\" : " + ec.message());
}

std::string localDataFolderOrFail() {
    std::string folder = LocalDataFolder();
    if (folder.empty())
        throw EInOutError("Cannot determine the folder for the program's data: neither "
                          "XDG_DATA_HOME nor HOME names an absolute folder");
    return folder;
}

// An earlier version kept its file in a folder of its own; it moves into ours once.
void moveEarlierVersionFile(const fs::path& local) {
    std::error_code ec;
    const fs::path oldFolder = local / "Keltro Remote";
    const fs::path oldFile = oldFolder / "vareduro.s3db";
    if (!fs::exists(oldFile, ec))
        return;
    const fs::path folder = local / "Varnel";
    ensureFolder(folder);
    // Never replace a database that is already in place: the old file then stays where it is.
    if (!fs::exists(folder / "tlv.sqlite", ec))
        fs::rename(oldFile, folder / "tlv.sqlite", ec);
    fs::remove(oldFolder, ec); // only succeeds when the folder is empty, as intended
}

} // namespace

void SetDatabaseFileOverride(const std::string& path) { g_fileOverride = path; }

std::string DatabaseFolder() {
    if (!g_fileOverride.empty())
        return fs::path(g_fileOverride).parent_path().generic_string();
    if (IsPortableMode())
        return ProgramFolder();
    const fs::path local = localDataFolderOrFail();
    moveEarlierVersionFile(local);
    return (local / "Varnel").generic_string();
}

std::string DatabaseFilePath() {
    if (!g_fileOverride.empty())
        return g_fileOverride;
    return (fs::path(DatabaseFolder()) / "tlv.sqlite").generic_string();
}

void CreateSchema(const std::string& path) {
    std::exception_ptr failure;
    {
        TSQLiteDatabase db(path, TSQLiteDatabase::OpenMode::CreateNew);
        try {
            for (const char* statement : kSchema)
                db.ExecSQL(statement);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) {
        // The file is ours and half made: remove it so the next start creates it afresh.
        std::error_code ec;
        fs::remove(path, ec);
        std::rethrow_exception(failure);
    }
}

void CheckSchemaVersion(TSQLiteDatabase& db) {
    int64_t version = 0;
    {
        // Done with the read before the upgrade changes the schema it was prepared against.
        auto query = db.Query("SELECT * FROM [Options] WHERE [Key] = \"DBVersion\"");
        if (query.Next())
            version = query.FieldAsInteger("Value");
    }
    if (version == 1)
        UpgradeToVersion2(db);
}

void UpgradeToVersion2(TSQLiteDatabase& db) {
    db.InTransaction([&] {
        for (const char* statement : kUpgrade)
            db.ExecSQL(statement);
    });
}

TSQLiteDatabase& DatabaseConnection() {
    if (g_connection)
        return *g_connection;
    const std::string file = DatabaseFilePath();
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        ensureFolder(fs::path(file).parent_path());
        CreateSchema(file);
    }
    auto db = std::make_unique<TSQLiteDatabase>(file);
    CheckSchemaVersion(*db);
    g_connection = std::move(db);
    return *g_connection;
}

void ReleaseDatabaseConnection() { g_connection.reset(); }

} // namespace tlv
