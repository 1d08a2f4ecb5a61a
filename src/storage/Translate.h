#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tlv {

// The catalogue of user-visible texts: English from "english.ini", with the chosen language
// laid over it. Changed on the UI thread only; looked up from any thread.
class JTranslate {
public:
    // The catalogue, built by Reload on first use. Any thread may look up; the first call must
    // come from the UI thread because Reload reads the options.
    static JTranslate& Instance();
    // Drops the catalogue (process end, tests); the next Instance() rebuilds it.
    static void Release();

    // UI thread. English, then the language named by the option "Language" when it differs.
    void Reload();
    // UI thread. Merges "<stem>.ini" over the catalogue; a missing file is ignored, an unreadable
    // one raises EInOutError.
    void LoadLanguage(const std::string& stem);

    // Any thread. The text of the key; the key itself when it has none or its text is empty.
    std::string Lookup(std::string_view key) const;

    bool EnglishFileExists() const;

    // The "languages" folder beside the program, with a trailing "/".
    static std::string LanguagesFolder();

private:
    using Catalogue = std::unordered_map<std::string, std::string>;

    // Each change builds a new catalogue and swaps it in whole, so a lookup never sees a file
    // half merged and lookups never wait for a merge to finish reading the disk.
    std::shared_ptr<const Catalogue> snapshot() const;
    void publish(std::shared_ptr<const Catalogue> catalogue, bool englishExists);

    mutable std::mutex m_mutex;
    std::shared_ptr<const Catalogue> m_catalogue = std::make_shared<Catalogue>();
    bool m_englishExists = false;
};

// Any thread. Shorthand for JTranslate::Instance().Lookup(key).
std::string Translate(std::string_view key);

// Reads one language file into `catalogue`, later lines replacing earlier ones. Keys are stored
// lower-cased (lookups ignore letter case); values exactly as written.
void MergeLanguageFile(const std::string& path,
                       std::unordered_map<std::string, std::string>& catalogue);

} // namespace tlv
