#include "storage/Translate.h"

#include "core/Exceptions.h"
#include "core/Text.h"
#include "storage/Options.h"
#include "storage/Paths.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace tlv {

namespace {
std::mutex g_instanceMutex;
std::unique_ptr<JTranslate> g_instance;

std::string languageFile(const std::string& stem) {
    return JTranslate::LanguagesFolder() + stem + ".ini";
}
} // namespace

JTranslate& JTranslate::Instance() {
    std::lock_guard lock(g_instanceMutex);
    if (!g_instance) {
        auto catalogue = std::make_unique<JTranslate>();
        catalogue->Reload();
        g_instance = std::move(catalogue);
    }
    return *g_instance;
}

void JTranslate::Release() {
    std::lock_guard lock(g_instanceMutex);
    g_instance.reset();
}

std::string JTranslate::LanguagesFolder() { return ProgramFolder() + "/languages/"; }

void MergeLanguageFile(const std::string& path,
                       std::unordered_map<std::string, std::string>& catalogue) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw EInOutError("Cannot read the language file \"" + path +
                          "\" : " + std::strerror(errno));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos)
            continue;
        std::string_view entry = std::string_view(line).substr(start);
        if (Trim(entry).empty() || entry.front() == '#' || entry.front() == ';')
            continue;
        size_t eq = entry.find('=');
        if (eq == std::string_view::npos)
            continue;
        catalogue.insert_or_assign(ToLowerAscii(entry.substr(0, eq)),
                                   std::string(entry.substr(eq + 1)));
    }
    if (in.bad())
        throw EInOutError("Cannot read the language file \"" + path + "\"");
}

std::shared_ptr<const JTranslate::Catalogue> JTranslate::snapshot() const {
    std::lock_guard lock(m_mutex);
    return m_catalogue;
}

void JTranslate::publish(std::shared_ptr<const Catalogue> catalogue, bool englishExists) {
    std::lock_guard lock(m_mutex);
    m_catalogue = std::move(catalogue);
    m_englishExists = englishExists;
}

bool JTranslate::EnglishFileExists() const {
    std::lock_guard lock(m_mutex);
    return m_englishExists;
}

void JTranslate::Reload() {
    std::error_code ec;
    const bool englishExists = fs::exists(languageFile("english"), ec);
    auto catalogue = std::make_shared<Catalogue>();
    if (englishExists)
        MergeLanguageFile(languageFile("english"), *catalogue);
    const std::string language = TOptionsRegistry::Instance().ReadOption("Language", "english");
    TOptionsRegistry::Release();
    if (language != "english" && fs::exists(languageFile(language), ec))
        MergeLanguageFile(languageFile(language), *catalogue);
    publish(std::move(catalogue), englishExists);
}

void JTranslate::LoadLanguage(const std::string& stem) {
    std::error_code ec;
    const std::string file = languageFile(stem);
    if (!fs::exists(file, ec))
        return;
    auto catalogue = std::make_shared<Catalogue>(*snapshot());
    MergeLanguageFile(file, *catalogue);
    publish(std::move(catalogue), EnglishFileExists());
}

std::string JTranslate::Lookup(std::string_view key) const {
    auto catalogue = snapshot();
    auto it = catalogue->find(ToLowerAscii(key));
    if (it == catalogue->end() || it->second.empty())
        return std::string(key);
    return it->second;
}

std::string Translate(std::string_view key) { return JTranslate::Instance().Lookup(key); }

} // namespace tlv
