// Settings of a process that serves many clients at once (the central service).
#pragma once

#include <cstddef>
#include <filesystem>

namespace veldon {

// Raises this process's soft limit of open files to its hard limit; returns the new limit.
std::size_t raiseOpenFileLimit();

// Makes memory blocks of 256 KiB and more come from the system and go straight back to it when
// freed. Without this the allocator keeps large freed blocks for reuse, so that memory a burst of
// large requests took stays with the process long after they were answered.
void returnLargeBlocksToSystem();

// True when users other than the file's owner may read `file` (its group or world read bit is
// set), as a file of secrets must not allow. False when the file cannot be examined.
bool readableByOthers(const std::filesystem::path& file);

}  // namespace veldon
