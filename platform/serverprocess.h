// Settings of a process that serves many clients at once (the central service).
#pragma once

#include <cstddef>

namespace veldon {

// Raises this process's soft limit of open files to its hard limit; returns the new limit.
std::size_t raiseOpenFileLimit();

// Makes memory blocks of 256 KiB and more come from the system and go straight back to it when
// freed. Without this the allocator keeps large freed blocks for reuse, so that memory a burst of
// large requests took stays with the process long after they were answered.
void returnLargeBlocksToSystem();

}  // namespace veldon
