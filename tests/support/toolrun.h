// Running a built program of the project as an operator runs it, with its output captured.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace veldon::test {

struct ToolRun {
    int status = -1;  // exit status, -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs `program` (a path below the build folder, such as "tools/veldonctl") with `args`, its
// settings store below `configHome` and HOME at `scratch`, where its output is also kept.
ToolRun runTool(const std::string& program, const std::vector<std::string>& args,
                const std::filesystem::path& configHome, const std::filesystem::path& scratch);

}  // namespace veldon::test
