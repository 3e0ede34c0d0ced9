// ReadIni: one value of UpdatePath.ini in the program folder, as the program reads it (a buffer of
// 255 characters, an empty default, the text before the first NUL).
#pragma once

#include <filesystem>
#include <string>

namespace veldon {

std::string ReadIni(const std::filesystem::path& programFolder, const std::string& section,
                    const std::string& key);

}  // namespace veldon
