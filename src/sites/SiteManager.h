#pragma once

#include "sites/IndexedObjectList.h"
#include "sites/SiteObserver.h"

namespace tlv {

// The one collection of all sites, in ascending SiteID. UI thread only.
class TKeltroSiteManager : public TIndexedObjectList {
public:
    // The process-wide manager; the first call creates it and loads every stored site.
    static TKeltroSiteManager& Instance();
    // Releases the manager and every site it holds; the next Instance() loads afresh.
    static void Release();
    // The manager when one exists, without creating it.
    static TKeltroSiteManager* Existing();

    // Replaces the sites by every stored one, in ascending SiteID. Raises EKTNotAllIdle,
    // changing nothing, when a held site is neither idle nor failed.
    void Reload();

    // Registers `observer` on every site; a site that has it already keeps one registration.
    void AddObserverToAll(ISiteObserver& observer);

    // Saves every site in one transaction: all of them reach the file or none does.
    void SaveAll();
};

} // namespace tlv
