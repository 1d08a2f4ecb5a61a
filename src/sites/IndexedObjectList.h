#pragma once

#include "sites/KeltroSite.h"

#include <cstdint>
#include <memory>
#include <ranges>
#include <vector>

namespace tlv {

// Sites in ascending SiteID, found by id with a halving search. The list owns its sites: one
// that leaves it is released. The order holds because sites are loaded in ascending id and a
// new site is stored (receiving an id above every other) before it is appended. UI thread only.
class TIndexedObjectList {
public:
    TIndexedObjectList() = default;
    // Releases the sites from the last to the first.
    virtual ~TIndexedObjectList();
    TIndexedObjectList(const TIndexedObjectList&) = delete;
    TIndexedObjectList& operator=(const TIndexedObjectList&) = delete;

    int Count() const { return static_cast<int>(m_items.size()); }
    TKeltroSite& Items(int index) const { return *m_items.at(static_cast<size_t>(index)); }

    // The sites in list order, for range-for.
    auto Sites() const {
        return m_items |
               std::views::transform(
                   [](const std::unique_ptr<TKeltroSite>& site) -> TKeltroSite& { return *site; });
    }

    // Takes the site over and appends it; returns it.
    TKeltroSite& Add(std::unique_ptr<TKeltroSite> site);
    // Takes the site out of the list and releases it; nothing when the list does not hold it.
    void Remove(const TKeltroSite& site);
    // Releases every site, from the last to the first.
    void Clear();

    // Position of `site` in the list, or -1.
    int IndexOf(const TKeltroSite& site) const;
    // Position of the site with that id; raises EKTSiteIDNotFound when none has it.
    int IndexOfID(int32_t siteID) const;

private:
    std::vector<std::unique_ptr<TKeltroSite>> m_items;
};

} // namespace tlv
