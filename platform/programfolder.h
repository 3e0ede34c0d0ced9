// The program folder: the folder that holds the running executable, resolved, without a trailing
// separator. `UpdatePath.ini`, `MyCF.MDB`, `MERIDEX_LOG` and `log` live there.
#pragma once

#include <filesystem>

namespace veldon {

std::filesystem::path executableFolder();

}  // namespace veldon
