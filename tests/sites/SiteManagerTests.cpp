#include "common/Sandbox.h"
#include "sites/SiteManager.h"
#include "storage/DatabaseConnection.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tlv {
namespace {

std::unique_ptr<TKeltroSite> makeSite(TKeltroSiteManager& manager, int32_t siteID,
                                      const std::string& name = "Site") {
    auto site = std::make_unique<TKeltroSite>(manager);
    TKeltroSiteDefinition definition;
    definition.SiteID = siteID;
    definition.SiteName = name;
    site->SetDefinition(definition);
    return site;
}

std::vector<int32_t> idsOf(const TIndexedObjectList& list) {
    std::vector<int32_t> ids;
    for (const TKeltroSite& site : list.Sites())
        ids.push_back(site.Definition().SiteID);
    return ids;
}

std::vector<std::string> namesOf(const TIndexedObjectList& list) {
    std::vector<std::string> names;
    for (const TKeltroSite& site : list.Sites())
        names.push_back(site.Definition().SiteName);
    return names;
}

TEST(IndexedObjectList, FindsEverySiteByIdAndRaisesForOthers) {
    TKeltroSiteManager list;
    EXPECT_THROW(list.IndexOfID(1), EKTSiteIDNotFound);
    const std::vector<int32_t> ids = {3, 5, 8, 13, 21, 34, 55, 89};
    for (size_t count = 1; count <= ids.size(); ++count) {
        list.Add(makeSite(list, ids[count - 1]));
        for (size_t i = 0; i < count; ++i)
            EXPECT_EQ(list.IndexOfID(ids[i]), static_cast<int>(i)) << "count " << count;
        for (int32_t missing : {-1, 0, 4, 14, 90})
            EXPECT_THROW(list.IndexOfID(missing), EKTSiteIDNotFound) << missing;
    }
    try {
        list.IndexOfID(6);
        FAIL() << "no error";
    } catch (const EKTSiteIDNotFound& e) {
        EXPECT_STREQ(e.what(), "SiteID 6 not found");
    }
}

TEST(IndexedObjectList, RemovingReleasesOnlyThatSite) {
    TKeltroSiteManager list;
    list.Add(makeSite(list, 1, "a"));
    TKeltroSite& middle = list.Add(makeSite(list, 2, "b"));
    list.Add(makeSite(list, 3, "c"));
    list.Remove(middle);
    EXPECT_EQ(namesOf(list), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(list.IndexOfID(3), 1);

    TKeltroSite outsider(list);
    list.Remove(outsider);
    EXPECT_EQ(list.Count(), 2);
}

class SiteManagerTest : public ::testing::Test {
protected:
    void SetUp() override { m_box.UseDatabase(); }

    // Stores a site of that name directly; returns its id.
    int32_t storeSite(const std::string& name) {
        TKeltroSiteManager scratch;
        TKeltroSite site(scratch);
        TKeltroSiteDefinition definition;
        definition.SiteName = name;
        site.SetDefinition(definition);
        site.Save();
        return site.Definition().SiteID;
    }

    std::vector<std::string> storedNames() {
        std::vector<std::string> names;
        auto query = DatabaseConnection().Query("SELECT [SiteName] FROM [Sites] ORDER BY [SiteID]");
        while (query.Next())
            names.push_back(query.FieldAsText("SiteName"));
        return names;
    }

    test::Sandbox m_box;
};

TEST_F(SiteManagerTest, ReloadReplacesTheSitesByTheStoredOnesInIdOrder) {
    const int32_t a = storeSite("a");
    const int32_t b = storeSite("b");
    const int32_t c = storeSite("c");
    DatabaseConnection().ExecSQL("DELETE FROM [Sites] WHERE [SiteID] = ?", {SQLInt(b)});
    const int32_t d = storeSite("d");

    TKeltroSiteManager manager;
    manager.Add(makeSite(manager, 500, "stale"));
    manager.Reload();
    EXPECT_EQ(idsOf(manager), (std::vector<int32_t>{a, c, d}));
    EXPECT_EQ(namesOf(manager), (std::vector<std::string>{"a", "c", "d"}));
    for (const TKeltroSite& site : manager.Sites())
        EXPECT_EQ(&site.Manager(), &manager);
    EXPECT_EQ(manager.IndexOfID(d), 2);
}

TEST_F(SiteManagerTest, ReloadRefusesWhileASiteIsBusy) {
    storeSite("stored");
    TKeltroSiteManager manager;
    manager.Add(makeSite(manager, 1, "idle"));
    TKeltroSite& other = manager.Add(makeSite(manager, 2, "other"));
    const TKeltroSite* first = &manager.Items(0);

    for (TSiteStatus status :
         {TSiteStatus::BackupQueued, TSiteStatus::BackupRunning, TSiteStatus::Reserved,
          TSiteStatus::Downloading, TSiteStatus::DownloadQueued}) {
        other.SetStatus(status);
        try {
            manager.Reload();
            ADD_FAILURE() << "no error for status " << static_cast<int>(status);
        } catch (const EKTNotAllIdle& e) {
            EXPECT_STREQ(e.what(), "Not all sites are idle");
        }
        ASSERT_EQ(manager.Count(), 2);
        EXPECT_EQ(&manager.Items(0), first);
        EXPECT_EQ(&manager.Items(1), &other);
    }

    other.SetStatus(TSiteStatus::Failed);
    manager.Reload();
    EXPECT_EQ(namesOf(manager), (std::vector<std::string>{"stored"}));
}

TEST_F(SiteManagerTest, SaveAllStoresNewAndChangedSites) {
    const int32_t stored = storeSite("before");
    TKeltroSiteManager manager;
    manager.Reload();
    TKeltroSiteDefinition changed = manager.Items(0).Definition();
    changed.SiteName = "after";
    manager.Items(0).SetDefinition(changed);
    manager.Add(makeSite(manager, 0, "new one"));
    manager.Add(makeSite(manager, 0, "new two"));

    manager.SaveAll();
    EXPECT_EQ(storedNames(), (std::vector<std::string>{"after", "new one", "new two"}));
    const std::vector<int32_t> ids = idsOf(manager);
    EXPECT_EQ(ids[0], stored);
    EXPECT_GT(ids[1], ids[0]);
    EXPECT_GT(ids[2], ids[1]);
}

TEST_F(SiteManagerTest, FailedSaveAllKeepsNothingAndNewSitesStayNew) {
    storeSite("before");
    DatabaseConnection().ExecSQL(
        "CREATE TRIGGER [Refuse] BEFORE INSERT ON [Sites] WHEN NEW.[SiteName] = 'refused' "
        "BEGIN SELECT RAISE(ABORT, 'refused by the test'); END");
    TKeltroSiteManager manager;
    manager.Reload();
    TKeltroSiteDefinition changed = manager.Items(0).Definition();
    changed.SiteName = "after";
    manager.Items(0).SetDefinition(changed);
    manager.Add(makeSite(manager, 0, "accepted"));
    manager.Add(makeSite(manager, 0, "refused"));

    EXPECT_THROW(manager.SaveAll(), ESQLiteException);
    EXPECT_EQ(storedNames(), (std::vector<std::string>{"before"}));
    EXPECT_EQ(manager.Items(1).Definition().SiteID, 0) << "its insert was rolled back";

    DatabaseConnection().ExecSQL("DROP TRIGGER [Refuse]");
    manager.SaveAll();
    EXPECT_EQ(storedNames(), (std::vector<std::string>{"after", "accepted", "refused"}));
}

TEST_F(SiteManagerTest, SaveAllWithoutSitesTouchesNothing) {
    TKeltroSiteManager manager;
    manager.SaveAll();
    EXPECT_FALSE(std::filesystem::exists(m_box.Path("tlv-test.sqlite")));
}

TEST_F(SiteManagerTest, InstanceLoadsOnceAndReleaseStartsAfresh) {
    storeSite("a");
    TKeltroSiteManager& first = TKeltroSiteManager::Instance();
    EXPECT_EQ(namesOf(first), (std::vector<std::string>{"a"}));
    EXPECT_EQ(&TKeltroSiteManager::Instance(), &first);
    storeSite("b");
    TKeltroSiteManager::Release();
    EXPECT_EQ(namesOf(TKeltroSiteManager::Instance()), (std::vector<std::string>{"a", "b"}));
}

class RecordingObserver : public ISiteObserver {
public:
    void SiteChanged(TKeltroSite& site) override {
        calls.push_back(site.Definition().SiteID);
        if (onChange)
            onChange(site);
    }
    std::vector<int32_t> calls;
    std::function<void(TKeltroSite&)> onChange;
};

TEST(SiteObservers, AddObserverToAllRegistersOnceOnEverySite) {
    TKeltroSiteManager manager;
    RecordingObserver window;
    manager.Add(makeSite(manager, 1));
    manager.AddObserverToAll(window);
    manager.Add(makeSite(manager, 2));
    manager.AddObserverToAll(window);
    for (TKeltroSite& site : manager.Sites())
        site.NotifyObservers();
    EXPECT_EQ(window.calls, (std::vector<int32_t>{1, 2}));
}

TEST(SiteObservers, ObserverMayLeaveWhileBeingTold) {
    TKeltroSiteManager manager;
    TKeltroSite& site = manager.Add(makeSite(manager, 7));
    RecordingObserver queue;
    RecordingObserver window;
    queue.onChange = [&](TKeltroSite& changed) {
        changed.RemoveObserver(queue);
        changed.RemoveObserver(window);
    };
    site.AddObserver(queue);
    site.AddObserver(window);
    site.NotifyObservers();
    EXPECT_EQ(queue.calls.size(), 1u);
    EXPECT_EQ(window.calls.size(), 1u) << "registered when the notification began";
    site.NotifyObservers();
    EXPECT_EQ(queue.calls.size(), 1u);
    EXPECT_EQ(window.calls.size(), 1u);
}

} // namespace
} // namespace tlv
