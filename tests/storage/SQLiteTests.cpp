#include "common/Sandbox.h"
#include "storage/SQLite.h"

#include <gtest/gtest.h>
#include <string>

namespace tlv {
namespace {

// The connection keeps prepared statements for reuse; these cases would show a kept statement
// leaking its state into the next use of the same text.
class SQLiteTest : public ::testing::Test {
protected:
    SQLiteTest()
        : m_db(m_box.Path("reuse.sqlite").generic_string(), TSQLiteDatabase::OpenMode::CreateNew) {
        m_db.ExecSQL("CREATE TABLE [T] ([K] INTEGER PRIMARY KEY, [V] TEXT)");
    }

    test::Sandbox m_box;
    TSQLiteDatabase m_db;
};

TEST_F(SQLiteTest, SameTextMayBeOpenTwiceAtOnce) {
    for (int k = 1; k <= 3; ++k)
        m_db.ExecSQL("INSERT INTO [T] VALUES (?, ?)", {SQLInt(k), SQLText("v")});
    const std::string sql = "SELECT [K] FROM [T] ORDER BY [K]";
    int pairs = 0;
    auto outer = m_db.Query(sql);
    while (outer.Next()) {
        auto inner = m_db.Query(sql);
        while (inner.Next())
            ++pairs;
    }
    EXPECT_EQ(pairs, 9);
}

TEST_F(SQLiteTest, ParametersOfAnEarlierRunDoNotLinger) {
    const std::string insert = "INSERT INTO [T] VALUES (?, ?)";
    m_db.ExecSQL(insert, {SQLInt(1), SQLText("first")});
    m_db.ExecSQL(insert, {SQLInt(2)});
    auto row = m_db.Query("SELECT * FROM [T] WHERE [K] = ?", {SQLInt(2)});
    ASSERT_TRUE(row.Next());
    EXPECT_TRUE(row.FieldIsNull("V"));
}

TEST_F(SQLiteTest, FailureNamesStatementAndReasonAndTheTextStaysUsable) {
    const std::string insert = "INSERT INTO [T] VALUES (?, ?)";
    m_db.ExecSQL(insert, {SQLInt(1), SQLText("a")});
    try {
        m_db.ExecSQL(insert, {SQLInt(1), SQLText("b")});
        FAIL() << "no error";
    } catch (const ESQLiteException& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("\"" + insert + "\""), std::string::npos) << message;
        EXPECT_NE(message.find("UNIQUE constraint failed"), std::string::npos) << message;
    }
    EXPECT_NO_THROW(m_db.ExecSQL(insert, {SQLInt(2), SQLText("b")}));
}

TEST_F(SQLiteTest, KeptStatementFollowsSchemaChanges) {
    m_db.ExecSQL("INSERT INTO [T] VALUES (1, 'a')");
    const std::string sql = "SELECT * FROM [T]";
    {
        auto row = m_db.Query(sql);
        ASSERT_TRUE(row.Next());
        EXPECT_THROW(row.FieldAsInteger("Extra"), ESQLiteException);
    }
    m_db.ExecSQL("ALTER TABLE [T] ADD COLUMN [Extra] INTEGER DEFAULT 7");
    auto row = m_db.Query(sql);
    ASSERT_TRUE(row.Next());
    EXPECT_EQ(row.FieldAsInteger("Extra"), 7);
    EXPECT_EQ(row.FieldAsText("v"), "a") << "column names ignore letter case";
}

} // namespace
} // namespace tlv
