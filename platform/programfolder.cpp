#include "platform/programfolder.h"

#include <system_error>

#include "platform/fileerror.h"

#ifdef _WIN32
#include <windows.h>

#include <string>
#endif

namespace veldon {

std::filesystem::path executableFolder() {
#ifdef _WIN32
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) {
            throw fileError(
                "cannot find the program file", std::filesystem::path(),
                std::error_code(static_cast<int>(GetLastError()), std::system_category()));
        }
        if (length < name.size()) {
            name.resize(length);
            break;
        }
        name.resize(name.size() * 2);
    }
    std::error_code ec;
    std::filesystem::path program = std::filesystem::canonical(name, ec);
    return (ec ? std::filesystem::path(name) : program).parent_path();
#else
    // The link names the file that was started, with every symbolic link of its path resolved.
    std::error_code ec;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        throw fileError("cannot find the program file from", "/proc/self/exe", ec);
    }
    return program.parent_path();
#endif
}

}  // namespace veldon
