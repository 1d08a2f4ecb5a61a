#include "storage/SQLite.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tlv {

namespace {

// The program uses a few dozen statement texts; this bounds what a stream of generated texts
// could pile up.
constexpr size_t kMaxKeptStatements = 64;

std::string openError(const std::string& path, const std::string& reason) {
    return "Failed to open database \"" + path + "\" : " + reason;
}

// Creates the file itself, so that it gets owner-only permissions before SQLite writes a byte,
// and so that an existing file is never mistaken for a new one.
void createPrivateFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw ESQLiteException(openError(path, std::strerror(errno)));
    ::close(fd);
}

} // namespace

TSQLiteDatabase::TSQLiteDatabase(const std::string& path, OpenMode mode) : m_path(path) {
    if (mode == OpenMode::CreateNew)
        createPrivateFile(path);
    // Never SQLITE_OPEN_CREATE: a missing file is an error here, not a new empty database.
    // One thread uses a connection, so SQLite need not lock it on every call.
    int rc = sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        std::string reason = m_db ? sqlite3_errmsg(m_db) : "unknown error";
        sqlite3_close(m_db);
        m_db = nullptr;
        // An empty file left behind would open next time as a database without tables.
        if (mode == OpenMode::CreateNew)
            ::unlink(path.c_str());
        throw ESQLiteException(openError(path, reason));
    }
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, 5000);
    // SQLite opens lazily; reading the schema now turns a foreign file into an open error
    // instead of a puzzling failure of the first statement.
    rc = sqlite3_exec(m_db, "PRAGMA schema_version", nullptr, nullptr, nullptr);
    std::string reason;
    if (rc != SQLITE_OK)
        reason = sqlite3_errmsg(m_db);
    else if (sqlite3_db_readonly(m_db, "main") == 1)
        reason = "the file is read-only";
    if (!reason.empty()) {
        sqlite3_close(m_db);
        m_db = nullptr;
        if (mode == OpenMode::CreateNew)
            ::unlink(path.c_str());
        throw ESQLiteException(openError(path, reason));
    }
}

TSQLiteDatabase::~TSQLiteDatabase() {
    for (const auto& [sql, statement] : m_statements)
        sqlite3_finalize(statement);
    sqlite3_close_v2(m_db);
}

void TSQLiteDatabase::raise(const std::string& sql) const { raise(sql, sqlite3_errmsg(m_db)); }

void TSQLiteDatabase::raise(const std::string& sql, const std::string& reason) const {
    throw ESQLiteException("Error executing SQL \"" + sql + "\" on database \"" + m_path +
                           "\" : " + reason);
}

void TSQLiteDatabase::recycle(const std::string& sql, sqlite3_stmt* statement) noexcept {
    if (!statement)
        return;
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    try {
        if (m_statements.size() < kMaxKeptStatements &&
            m_statements.try_emplace(sql, statement).second)
            return;
    } catch (...) { // out of memory: the statement is simply not kept
    }
    sqlite3_finalize(statement);
}

sqlite3_stmt* TSQLiteDatabase::prepare(const std::string& sql,
                                       std::span<const TSQLParam> params) {
    sqlite3_stmt* statement = nullptr;
    // A statement in use (a query still open with the same text) is not there: prepare another.
    if (auto kept = m_statements.find(sql); kept != m_statements.end()) {
        statement = kept->second;
        m_statements.erase(kept);
    } else if (sqlite3_prepare_v3(m_db, sql.c_str(), static_cast<int>(sql.size()),
                                  SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
        raise(sql);
    }
    int index = 1;
    for (const TSQLParam& param : params) {
        int rc = std::visit(
            [&](const auto& value) {
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, std::nullptr_t>)
                    return sqlite3_bind_null(statement, index);
                else if constexpr (std::is_same_v<T, int64_t>)
                    return sqlite3_bind_int64(statement, index, value);
                else if constexpr (std::is_same_v<T, double>)
                    return sqlite3_bind_double(statement, index, value);
                else
                    return sqlite3_bind_text(statement, index, value.data(),
                                             static_cast<int>(value.size()), SQLITE_TRANSIENT);
            },
            param);
        if (rc != SQLITE_OK) {
            const std::string reason = sqlite3_errmsg(m_db);
            recycle(sql, statement);
            raise(sql, reason);
        }
        ++index;
    }
    return statement;
}

void TSQLiteDatabase::ExecSQL(const std::string& sql, std::span<const TSQLParam> params) {
    sqlite3_stmt* statement = prepare(sql, params);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    }
    // The reason must be read before the reset that recycling does.
    const std::string reason = rc == SQLITE_DONE ? std::string() : sqlite3_errmsg(m_db);
    recycle(sql, statement);
    if (rc != SQLITE_DONE)
        raise(sql, reason);
}

TSQLiteQuery TSQLiteDatabase::Query(const std::string& sql, std::span<const TSQLParam> params) {
    return TSQLiteQuery(*this, prepare(sql, params), sql);
}

int64_t TSQLiteDatabase::LastInsertRowID() const { return sqlite3_last_insert_rowid(m_db); }

void TSQLiteDatabase::RollbackQuietly() noexcept {
    if (!sqlite3_get_autocommit(m_db))
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

TSQLiteQuery::TSQLiteQuery(TSQLiteDatabase& db, sqlite3_stmt* statement, std::string sql)
    : m_db(&db), m_statement(statement), m_sql(std::move(sql)) {}

TSQLiteQuery::TSQLiteQuery(TSQLiteQuery&& other) noexcept
    : m_db(other.m_db), m_statement(other.m_statement), m_sql(std::move(other.m_sql)),
      m_nextColumn(other.m_nextColumn) {
    other.m_statement = nullptr;
}

TSQLiteQuery::~TSQLiteQuery() { m_db->recycle(m_sql, m_statement); }

bool TSQLiteQuery::Next() {
    int rc = sqlite3_step(m_statement);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    m_db->raise(m_sql);
}

int TSQLiteQuery::columnIndex(const std::string& column) const {
    const int count = sqlite3_column_count(m_statement);
    for (int step = 0; step < count; ++step) {
        const int i = (m_nextColumn + step) % count;
        if (sqlite3_stricmp(sqlite3_column_name(m_statement, i), column.c_str()) == 0) {
            m_nextColumn = i + 1;
            return i;
        }
    }
    throw ESQLiteException("Column \"" + column + "\" not found in \"" + m_sql + "\"");
}

int64_t TSQLiteQuery::FieldAsInteger(const std::string& column) const {
    return sqlite3_column_int64(m_statement, columnIndex(column));
}

double TSQLiteQuery::FieldAsDouble(const std::string& column) const {
    return sqlite3_column_double(m_statement, columnIndex(column));
}

std::string TSQLiteQuery::FieldAsText(const std::string& column) const {
    const int index = columnIndex(column);
    const auto* text = sqlite3_column_text(m_statement, index);
    if (!text)
        return {};
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(m_statement, index)));
}

bool TSQLiteQuery::FieldIsNull(const std::string& column) const {
    return sqlite3_column_type(m_statement, columnIndex(column)) == SQLITE_NULL;
}

} // namespace tlv
