#pragma once

#include "core/Exceptions.h"

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <unordered_map>
#include <variant>

struct sqlite3;
struct sqlite3_stmt;

namespace tlv {

// Every database failure: the message names the file or the statement and SQLite's own reason.
class ESQLiteException : public Exception {
    using Exception::Exception;
};

// A positional parameter: null, integer (truth values bind as 0 and 1), floating point or text.
using TSQLParam = std::variant<std::nullptr_t, int64_t, double, std::string>;
using TSQLParams = std::initializer_list<TSQLParam>;

inline TSQLParam SQLBool(bool value) { return int64_t{value ? 1 : 0}; }
inline TSQLParam SQLInt(int64_t value) { return value; }
inline TSQLParam SQLText(std::string value) { return value; }

class TSQLiteDatabase;

// The rows of one query, read column by column by name. Not copyable; moves with its statement.
// It must end before the database it came from.
class TSQLiteQuery {
public:
    TSQLiteQuery(TSQLiteQuery&& other) noexcept;
    TSQLiteQuery& operator=(TSQLiteQuery&&) = delete;
    ~TSQLiteQuery();

    // Steps to the next row; false when there is none.
    bool Next();

    // Values of the current row. A NULL reads as 0 or empty text; an unknown column raises.
    int64_t FieldAsInteger(const std::string& column) const;
    double FieldAsDouble(const std::string& column) const;
    std::string FieldAsText(const std::string& column) const;
    bool FieldIsNull(const std::string& column) const;

private:
    friend class TSQLiteDatabase;
    TSQLiteQuery(TSQLiteDatabase& db, sqlite3_stmt* statement, std::string sql);
    int columnIndex(const std::string& column) const;

    TSQLiteDatabase* m_db;
    sqlite3_stmt* m_statement;
    std::string m_sql;
    // Where the search for the next column name starts: readers mostly ask for the columns in
    // table order, so the search usually succeeds at once.
    mutable int m_nextColumn = 0;
};

// One open SQLite file. Used on the UI thread only.
class TSQLiteDatabase {
public:
    enum class OpenMode { Existing, CreateNew };

    // Opens the file and checks that it is a database we can write. CreateNew makes a new file
    // readable by its owner only (it holds passwords) and refuses to touch an existing one.
    explicit TSQLiteDatabase(const std::string& path, OpenMode mode = OpenMode::Existing);
    ~TSQLiteDatabase();
    TSQLiteDatabase(const TSQLiteDatabase&) = delete;
    TSQLiteDatabase& operator=(const TSQLiteDatabase&) = delete;

    const std::string& Path() const { return m_path; }

    void ExecSQL(const std::string& sql, TSQLParams params = {}) {
        ExecSQL(sql, std::span<const TSQLParam>(params.begin(), params.size()));
    }
    // For parameter lists built at run time, such as one shared by an INSERT and an UPDATE.
    void ExecSQL(const std::string& sql, std::span<const TSQLParam> params);
    TSQLiteQuery Query(const std::string& sql, TSQLParams params = {}) {
        return Query(sql, std::span<const TSQLParam>(params.begin(), params.size()));
    }
    TSQLiteQuery Query(const std::string& sql, std::span<const TSQLParam> params);
    int64_t LastInsertRowID() const;

    void BeginTransaction() { ExecSQL("BEGIN TRANSACTION"); }
    void Commit() { ExecSQL("COMMIT"); }
    // Never raises: it runs while another error is already on its way to the caller.
    void RollbackQuietly() noexcept;

    // Runs `body` inside BEGIN TRANSACTION ... COMMIT, rolling back when it raises.
    template <typename F> void InTransaction(F&& body) {
        BeginTransaction();
        try {
            body();
            Commit();
        } catch (...) {
            RollbackQuietly();
            throw;
        }
    }

private:
    friend class TSQLiteQuery;
    // A statement for `sql` with the parameters bound: a kept one when there is one, else a new
    // one. Hand it back with `recycle` when done.
    sqlite3_stmt* prepare(const std::string& sql, std::span<const TSQLParam> params);
    // Resets the statement and keeps it for the next use of the same text.
    void recycle(const std::string& sql, sqlite3_stmt* statement) noexcept;
    [[noreturn]] void raise(const std::string& sql) const;
    [[noreturn]] void raise(const std::string& sql, const std::string& reason) const;

    std::string m_path;
    sqlite3* m_db = nullptr;
    // Idle prepared statements by their text. Preparing costs more than running a statement
    // that reads or writes one row, and the program runs a handful of texts over and over.
    std::unordered_map<std::string, sqlite3_stmt*> m_statements;
};

} // namespace tlv
