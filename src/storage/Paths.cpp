#include "storage/Paths.h"

#include "core/Convert.h"
#include "core/Text.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace fs = std::filesystem;

namespace tlv {

namespace {

std::mutex g_programPathMutex;
std::string g_programPathOverride;

std::string genericString(const fs::path& path) { return path.generic_string(); }

} // namespace

std::string ProgramPath() {
    {
        std::lock_guard lock(g_programPathMutex);
        if (!g_programPathOverride.empty())
            return g_programPathOverride;
    }
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : genericString(exe);
}

void SetProgramPath(const std::string& path) {
    std::lock_guard lock(g_programPathMutex);
    g_programPathOverride = path;
}

std::string ProgramFolder() { return genericString(fs::path(ProgramPath()).parent_path()); }

std::string SettingsFilePath() {
    return genericString(fs::path(ProgramPath()).replace_extension(".ini"));
}

std::string LocalDataFolder() {
    // The XDG rules say a relative XDG_DATA_HOME is invalid and must be ignored.
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/')
        return genericString(fs::path(xdg).lexically_normal());
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return genericString((fs::path(home) / ".local" / "share").lexically_normal());
    return {};
}

std::string ReadIniString(const std::string& file, const std::string& section,
                          const std::string& key, const std::string& fallback) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return fallback;
    std::string line;
    bool inSection = false;
    while (std::getline(in, line)) {
        std::string_view text = Trim(line);
        if (text.empty() || text.front() == ';' || text.front() == '#')
            continue;
        if (text.front() == '[') {
            size_t close = text.find(']');
            inSection = close != std::string_view::npos &&
                        EqualsNoCase(Trim(text.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection)
            continue;
        size_t eq = text.find('=');
        if (eq != std::string_view::npos && EqualsNoCase(Trim(text.substr(0, eq)), key))
            return std::string(Trim(text.substr(eq + 1)));
    }
    return fallback;
}

bool IsPortableMode() {
    const fs::path folder = ProgramFolder();
    std::error_code ec;
    const fs::path oldFile = folder / "vareduro.s3db";
    const fs::path database = folder / "tlv.sqlite";
    // An earlier version's file beside the program becomes ours, which makes us portable.
    // The rename must never replace an existing database, so it is skipped when one exists.
    if (fs::exists(oldFile, ec) && !fs::exists(database, ec))
        fs::rename(oldFile, database, ec);
    if (fs::exists(database, ec))
        return true;
    int portable = 0;
    return TryStrToInt(ReadIniString(SettingsFilePath(), "Global", "Portable"), portable) &&
           portable != 0;
}

std::string StoredFolderPath(const std::string& chosenFolder) {
    if (chosenFolder.empty() || !IsPortableMode())
        return chosenFolder;
    fs::path chosen = fs::path(chosenFolder).lexically_normal();
    fs::path relative = chosen.lexically_relative(fs::path(ProgramFolder()).lexically_normal());
    if (relative.empty())
        return chosenFolder;
    std::string text = genericString(relative);
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

std::string ResolveStoredFolder(const std::string& storedFolder) {
    if (storedFolder.empty() || fs::path(storedFolder).is_absolute() || !IsPortableMode())
        return storedFolder;
    return genericString((fs::path(ProgramFolder()) / storedFolder).lexically_normal());
}

} // namespace tlv
