// Files whose content must survive a crash or a power cut once a call has returned: the data reach
// the disk before the call returns, and a replaced file is either wholly old or wholly new.
#pragma once

#include <filesystem>
#include <string>

namespace veldon {

// Appends `bytes` to `file` (created when missing; its folder must exist) and flushes them to the
// disk. The file is opened, written and closed within the call. Raises veldon::Error naming the
// file and the cause when it cannot be written.
void appendFileDurably(const std::filesystem::path& file, const std::string& bytes);

// Writes `bytes` to a new file beside `target`, flushes it and renames it over `target`, so that
// readers and a crash see either the old content or the new one. An existing file keeps its
// permissions. Raises veldon::Error naming the file and the cause.
void replaceFileDurably(const std::filesystem::path& target, const std::string& bytes);

}  // namespace veldon
