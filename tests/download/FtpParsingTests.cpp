#include "download/FtpError.h"
#include "download/FtpListParser.h"
#include "download/FtpReply.h"

#include <gtest/gtest.h>

namespace tlv {
namespace {

std::vector<TFtpReply> feedAll(FtpReplyAssembler& assembler,
                               const std::vector<std::string>& lines) {
    std::vector<TFtpReply> replies;
    for (const auto& line : lines)
        if (auto reply = assembler.Feed(line))
            replies.push_back(*reply);
    return replies;
}

TEST(FtpReply, AssemblesSingleAndMultiLineReplies) {
    FtpReplyAssembler assembler;
    auto replies = feedAll(assembler, {"220 Welcome", "211-Features:", " SIZE",
                                       "200 another code does not end it", "211-nor does a dash",
                                       "211 End", "226"});
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].Code, 220);
    EXPECT_EQ(replies[0].Text(), "Welcome");
    EXPECT_EQ(replies[1].Code, 211);
    EXPECT_EQ(replies[1].Lines.size(), 5u);
    EXPECT_EQ(replies[1].Lines[3], "211-nor does a dash");
    EXPECT_EQ(replies[2].Code, 226);
    EXPECT_EQ(replies[2].Text(), "226");
    EXPECT_FALSE(assembler.Pending());
}

TEST(FtpReply, RefusesGarbageAndEndlessReplies) {
    FtpReplyAssembler garbage;
    EXPECT_THROW(garbage.Feed("hello"), EFtpError);
    EXPECT_THROW(garbage.Feed("22 short"), EFtpError);

    FtpReplyAssembler endless;
    endless.Feed("211-start");
    EXPECT_THROW(
        {
            for (std::size_t i = 0; i < FtpReplyAssembler::MaxLines + 1; ++i)
                endless.Feed(" feature");
        },
        EFtpError);
}

struct ListCase {
    const char* line;
    std::optional<TFtpListEntry> expected;
};

class FtpListLine : public ::testing::TestWithParam<ListCase> {};

TEST_P(FtpListLine, Parses) {
    EXPECT_EQ(ParseFtpListLine(GetParam().line), GetParam().expected) << GetParam().line;
}

TFtpListEntry file(const char* name, int64_t size) {
    return {name, size, false, false, {}};
}
TFtpListEntry dir(const char* name, int64_t size = -1) {
    return {name, size, true, false, {}};
}
TFtpListEntry link(const char* name, int64_t size, const char* target) {
    return {name, size, false, true, target};
}

INSTANTIATE_TEST_SUITE_P(
    UnixAndWindows, FtpListLine,
    ::testing::Values(
        // pyftpdlib
        ListCase{"-rw-r--r--   1 owner    group     1048576 Jan 05 12:00 site-part.kta",
                 file("site-part.kta", 1048576)},
        // vsftpd, numeric owners, a year instead of a time
        ListCase{"-rw-r--r--    1 0        0         3000000 Dec 11  2023 backup.k01",
                 file("backup.k01", 3000000)},
        ListCase{"drwxr-xr-x    2 0        0            4096 Dec 11 11:28 backups",
                 dir("backups", 4096)},
        // names keep their inner and trailing blanks
        ListCase{"-rw-r--r-- 1 user group 12 Mar  3 09:15 my backup  file.zip ",
                 file("my backup  file.zip ", 12)},
        // without a group column, with an ACL marker
        ListCase{"-rw-r--r--+ 1 user 77 Feb 29 2024 noGroup.kta", file("noGroup.kta", 77)},
        // long-iso dates
        ListCase{"-rw-r----- 1 www www 5242880 2024-01-15 03:04 iso.kta", file("iso.kta", 5242880)},
        // symbolic links, with and without a target shown
        ListCase{"lrwxrwxrwx 1 root root 7 Jan 1 00:00 current -> backups",
                 link("current", 7, "backups")},
        ListCase{"lrwxrwxrwx 1 root root 7 Jan 1 00:00 bare", link("bare", 7, "")},
        // a device file has no size
        ListCase{"crw-rw-rw- 1 root root 1, 3 Jan 1 00:00 null",
                 TFtpListEntry{"null", -1, false, false, {}}},
        // an owner called like a month does not fool the date search
        ListCase{"-rw-r--r-- 1 may staff 10 Apr 1 10:00 notes.txt", file("notes.txt", 10)},
        // Windows / IIS
        ListCase{"01-15-24  03:04PM       <DIR>          Backup Folder", dir("Backup Folder")},
        ListCase{"01-15-24  03:04PM             12345678 site.kta", file("site.kta", 12345678)},
        ListCase{"01-15-2024  15:04          1,234,567 grouped.kta", file("grouped.kta", 1234567)},
        // lines without an entry
        ListCase{"total 48", std::nullopt}, ListCase{"", std::nullopt},
        ListCase{"drwxr-xr-x 2 u g 4096 Jan 1 12:00 .", std::nullopt},
        ListCase{"drwxr-xr-x 2 u g 4096 Jan 1 12:00 ..", std::nullopt},
        ListCase{"this is not a listing line at all", std::nullopt},
        ListCase{"-rw-r--r-- 1 user group size Jan 1 12:00 x", std::nullopt}));

TEST(FtpListing, SplitsLinesAndKeepsOrder) {
    auto entries = ParseFtpListing("total 8\r\n"
                                   "drwxr-xr-x 2 u g 4096 Jan 1 12:00 b\r\n"
                                   "-rw-r--r-- 1 u g 10 Jan 1 12:00 a.kta\n"
                                   "-rw-r--r-- 1 u g 20 Jan 1 12:00 a.k01");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], dir("b", 4096));
    EXPECT_EQ(entries[1], file("a.kta", 10));
    EXPECT_EQ(entries[2], file("a.k01", 20));
}

} // namespace
} // namespace tlv
