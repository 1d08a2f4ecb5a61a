#include "sites/IndexedObjectList.h"

#include <utility>

namespace tlv {

TIndexedObjectList::~TIndexedObjectList() {
    Clear();
}

TKeltroSite& TIndexedObjectList::Add(std::unique_ptr<TKeltroSite> site) {
    m_items.push_back(std::move(site));
    return *m_items.back();
}

void TIndexedObjectList::Remove(const TKeltroSite& site) {
    const int index = IndexOf(site);
    if (index < 0)
        return;
    // The site leaves the list before it is released, so whatever its release runs sees a
    // list that no longer holds it.
    std::unique_ptr<TKeltroSite> released = std::move(m_items[static_cast<size_t>(index)]);
    m_items.erase(m_items.begin() + index);
}

void TIndexedObjectList::Clear() {
    while (!m_items.empty()) {
        std::unique_ptr<TKeltroSite> released = std::move(m_items.back());
        m_items.pop_back();
    }
}

int TIndexedObjectList::IndexOf(const TKeltroSite& site) const {
    for (size_t i = 0; i < m_items.size(); ++i)
        if (m_items[i].get() == &site)
            return static_cast<int>(i);
    return -1;
}

int TIndexedObjectList::IndexOfID(int32_t siteID) const {
    int found = -1;
    int low = 0;
    int high = Count() - 1;
    while (low <= high) {
        const int middle = (low + high) / 2;
        const int32_t id = m_items[static_cast<size_t>(middle)]->Definition().SiteID;
        if (id < siteID) {
            low = middle + 1;
        } else {
            high = middle - 1;
            if (id == siteID)
                found = middle;
        }
    }
    if (found < 0)
        throw EKTSiteIDNotFound(siteID);
    return found;
}

} // namespace tlv
