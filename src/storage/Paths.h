#pragma once

#include <string>

namespace tlv {

// Where the program and its files are. Paths are UTF-8 with "/" separators and no trailing "/"
// unless a function says otherwise.

// The running executable's path. SetProgramPath replaces it (the tests place a "program" in a
// temporary folder this way); an empty text goes back to the real executable.
std::string ProgramPath();
void SetProgramPath(const std::string& path);

// The folder of the running executable.
std::string ProgramFolder();

// The portable-mode settings file: the executable's path with ".ini" in place of its extension.
std::string SettingsFilePath();

// $XDG_DATA_HOME, else $HOME/.local/share; empty text when neither gives an absolute folder.
std::string LocalDataFolder();

// Portable mode: "tlv.sqlite" beside the program (an earlier version's "vareduro.s3db" there is
// renamed to it first), or a non-zero whole number under [Global] Portable in the settings file.
// Evaluated afresh on every call.
bool IsPortableMode();

// A folder picked by the user, as it is stored: in portable mode relative to the program folder
// (with ".." steps when it lies elsewhere), so the whole installation can move; unchanged
// otherwise. An empty text stays empty.
std::string StoredFolderPath(const std::string& chosenFolder);

// The reverse for reading: a relative folder is taken relative to the program folder in
// portable mode. Absolute folders, and every folder outside portable mode, stay as they are.
std::string ResolveStoredFolder(const std::string& storedFolder);

// Reads one key of an INI file (section and key compared without letter case); `fallback` when
// the file, section or key is missing.
std::string ReadIniString(const std::string& file, const std::string& section,
                          const std::string& key, const std::string& fallback = {});

} // namespace tlv
