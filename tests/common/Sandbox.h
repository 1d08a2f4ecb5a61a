#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace tlv::test {

// The whole content of `file`; empty when it cannot be read.
std::string ReadFileText(const std::filesystem::path& file);

// A temporary folder for one test, removed with everything in it when the test ends. It also
// stands in for the program's installation: the "program" lives at Root()/tolvane, so the
// settings file, the languages folder and portable mode all resolve inside the sandbox, and
// XDG_DATA_HOME points at Root()/data.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::filesystem::path& Root() const { return m_root; }
    std::filesystem::path Path(const std::string& relative) const { return m_root / relative; }

    void WriteFile(const std::string& relative, const std::string& content) const;
    std::string ReadFile(const std::string& relative) const;

    // Uses a database file inside the sandbox and a fresh catalogue, options store and site
    // manager.
    // Returns the database path.
    std::string UseDatabase(const std::string& relative = "tlv-test.sqlite") const;
    // Copies the shipped language files into the sandbox's languages folder.
    void InstallLanguages() const;

private:
    std::filesystem::path m_root;
    std::string m_oldXdg;
    bool m_hadXdg = false;
};

// Polls `condition` until it holds or `timeout` passes; returns whether it held.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10),
             std::chrono::milliseconds interval = std::chrono::milliseconds(5));

} // namespace tlv::test
