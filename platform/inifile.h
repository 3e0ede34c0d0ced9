// Reading `UpdatePath.ini` the way GetPrivateProfileString reads a profile file.
//
// Section and key names match without regard to letter case; blanks around names and values are
// dropped; a value enclosed in matching single or double quotes loses them; the first matching
// section and key win; lines beginning with ';' are comments. The file is UTF-8 when its bytes are
// valid UTF-8 and CP949 otherwise, so a file written by the Windows updater reads the same.
// The result is UTF-8.
#pragma once

#include <filesystem>
#include <string>

namespace veldon {

// One value of a profile file, `defaultValue` when the file, section or key is missing.
// `maxBytes` is the size of the caller's buffer in the Windows code page, terminating NUL
// included: a longer value is cut to maxBytes - 1 bytes on a character boundary.
std::string readProfileString(const std::filesystem::path& file, const std::string& section,
                              const std::string& key, const std::string& defaultValue = {},
                              std::size_t maxBytes = 255);

}  // namespace veldon
