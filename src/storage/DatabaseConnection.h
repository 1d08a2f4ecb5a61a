#pragma once

#include "storage/SQLite.h"

#include <string>

namespace tlv {

// The process-wide connection. The first call finds the file (moving an earlier version's file
// into place), creates it with the schema when missing, opens it and upgrades a version-1 schema.
// UI thread only. Raises EInOutError when a folder cannot be created or the user's data folder
// cannot be determined, and ESQLiteException for database failures.
TSQLiteDatabase& DatabaseConnection();

// Closes the process-wide connection; the next DatabaseConnection() starts afresh.
void ReleaseDatabaseConnection();

// Uses this file instead of the normal location from the next DatabaseConnection() on (the
// command-line program's --db and the tests); an empty text restores the normal location.
void SetDatabaseFileOverride(const std::string& path);

// The folder and file DatabaseConnection() uses, after moving an earlier version's file.
std::string DatabaseFolder();
std::string DatabaseFilePath();

// Creates a new file with the version-2 schema. A file that fails half-way is removed again.
void CreateSchema(const std::string& path);

// Reads DBVersion and upgrades version 1 to 2; other versions are left alone.
void CheckSchemaVersion(TSQLiteDatabase& db);
// All of the upgrade or none of it: a failure rolls back and the file stays at version 1.
void UpgradeToVersion2(TSQLiteDatabase& db);

} // namespace tlv
