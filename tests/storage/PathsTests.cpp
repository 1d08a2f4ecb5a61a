#include "common/Sandbox.h"
#include "storage/Paths.h"

#include <gtest/gtest.h>
#include <string>

namespace tlv {
namespace {

TEST(FolderPaths, PortableModeStoresFoldersRelativeToTheProgram) {
    test::Sandbox box;
    box.WriteFile("tolvane.ini", "[Global]\nPortable=1\n");
    const std::string root = box.Root().generic_string();
    const std::string parent = box.Root().parent_path().generic_string();
    struct Case {
        std::string chosen;
        std::string stored;
        std::string resolved;
    };
    const Case cases[] = {
        {root + "/Backups", "Backups", root + "/Backups"},
        {root + "/Backups/", "Backups", root + "/Backups"},
        {root + "/Backups/2026", "Backups/2026", root + "/Backups/2026"},
        {root + "/sub/../Backups", "Backups", root + "/Backups"},
        {parent + "/x", "../x", parent + "/x"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StoredFolderPath(c.chosen), c.stored) << c.chosen;
        EXPECT_EQ(ResolveStoredFolder(c.stored), c.resolved) << c.stored;
    }
    EXPECT_EQ(ResolveStoredFolder("/srv/backups"), "/srv/backups");
}

TEST(FolderPaths, OtherModesKeepFoldersAsChosen) {
    test::Sandbox box;
    const std::string chosen = box.Path("Backups").generic_string();
    EXPECT_EQ(StoredFolderPath(chosen), chosen);
    EXPECT_EQ(StoredFolderPath(""), "");
    EXPECT_EQ(ResolveStoredFolder("Backups"), "Backups");
    EXPECT_EQ(ResolveStoredFolder(chosen), chosen);
}

} // namespace
} // namespace tlv
