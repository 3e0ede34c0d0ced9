// Log and dump files: text in CP949 with CR LF line ends on every platform, as the shop's existing
// tools read them. Each call opens, writes and closes the file; nothing stays open between calls.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace veldon {

enum class WriteMode { Replace, Append };

// Writes the UTF-8 `lines`, each converted to CP949 and ended by CR LF. The folder must exist.
// Raises veldon::Error when the file cannot be opened or written completely.
void writeCp949Lines(const std::filesystem::path& file, const std::vector<std::string>& lines,
                     WriteMode mode);

// Reads a CP949 text file back as UTF-8 lines (CR LF or LF ends); for tests and tools.
std::vector<std::string> readCp949Lines(const std::filesystem::path& file);

}  // namespace veldon
