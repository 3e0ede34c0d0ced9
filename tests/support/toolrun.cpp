#include "tests/support/toolrun.h"

#include <sys/wait.h>

#include <cstdlib>

#include "tests/support/tempdir.h"

namespace veldon::test {

namespace {

std::string shellQuoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

}  // namespace

ToolRun runTool(const std::string& program, const std::vector<std::string>& args,
                const std::filesystem::path& configHome, const std::filesystem::path& scratch) {
    std::string command = "XDG_CONFIG_HOME=" + shellQuoted(configHome.string()) +
                          " HOME=" + shellQuoted(scratch.string()) + " " +
                          shellQuoted((buildDir() / program).string());
    for (const std::string& a : args) {
        command += " " + shellQuoted(a);
    }
    command += " >" + shellQuoted((scratch / "out").string()) + " 2>" +
               shellQuoted((scratch / "err").string()) + " </dev/null";
    const int raw = std::system(command.c_str());
    ToolRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readFile(scratch / "out");
    r.err = readFile(scratch / "err");
    return r;
}

}  // namespace veldon::test
