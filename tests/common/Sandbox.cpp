#include "common/Sandbox.h"

#include "sites/SiteManager.h"
#include "storage/DatabaseConnection.h"
#include "storage/Options.h"
#include "storage/Paths.h"
#include "storage/Translate.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tlv::test {

namespace {
fs::path makeTempFolder() {
    std::string pattern = (fs::temp_directory_path() / "tolvane-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    return fs::path(pattern);
}

void releaseGlobals() {
    TKeltroSiteManager::Release();
    JTranslate::Release();
    TOptionsRegistry::Release();
    ReleaseDatabaseConnection();
    SetDatabaseFileOverride({});
}
} // namespace

Sandbox::Sandbox() : m_root(makeTempFolder()) {
    if (const char* xdg = std::getenv("XDG_DATA_HOME")) {
        m_hadXdg = true;
        m_oldXdg = xdg;
    }
    setenv("XDG_DATA_HOME", (m_root / "data").c_str(), 1);
    SetProgramPath((m_root / "tolvane").generic_string());
    releaseGlobals();
}

Sandbox::~Sandbox() {
    releaseGlobals();
    SetProgramPath({});
    if (m_hadXdg)
        setenv("XDG_DATA_HOME", m_oldXdg.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
    std::error_code ec;
    fs::permissions(m_root, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_root, ec);
}

void Sandbox::WriteFile(const std::string& relative, const std::string& content) const {
    fs::path path = m_root / relative;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ReadFileText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::string Sandbox::ReadFile(const std::string& relative) const {
    return ReadFileText(m_root / relative);
}

std::string Sandbox::UseDatabase(const std::string& relative) const {
    releaseGlobals();
    std::string path = (m_root / relative).generic_string();
    SetDatabaseFileOverride(path);
    return path;
}

void Sandbox::InstallLanguages() const {
    fs::create_directories(m_root / "languages");
    for (const auto& entry : fs::directory_iterator(fs::path(TOLVANE_SOURCE_DIR) / "languages"))
        if (entry.path().extension() == ".ini")
            fs::copy_file(entry.path(), m_root / "languages" / entry.path().filename(),
                          fs::copy_options::overwrite_existing);
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
             std::chrono::milliseconds interval) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(interval);
    }
    return true;
}

} // namespace tlv::test
