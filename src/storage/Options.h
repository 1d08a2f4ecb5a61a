#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tlv {

// Program-wide settings as key/value texts, kept in the Options table. Keys are compared without
// letter case; writes stay in memory until Save. UI thread only.
class TOptionsRegistry {
public:
    // The store, created and loaded from the table when none exists.
    static TOptionsRegistry& Instance();
    // Releases the store: unsaved writes are dropped and the next Instance() reloads.
    static void Release();
    static bool Exists();

    std::string ReadOption(const std::string& key, const std::string& fallback) const;
    void WriteOption(const std::string& key, const std::string& value);

    // Replaces the list by the table's rows ("DBVersion" excepted).
    void Load();
    // Writes every pair to the table in one transaction; an empty list writes nothing.
    void Save();

    // The pairs in list order.
    const std::vector<std::pair<std::string, std::string>>& Pairs() const { return m_pairs; }

private:
    std::vector<std::pair<std::string, std::string>> m_pairs;
};

// Readers of typed options; a stored text that does not convert raises EConvertError.
bool ReadBoolOption(const std::string& key, const std::string& fallback);
int ReadIntOption(const std::string& key, const std::string& fallback);

} // namespace tlv
