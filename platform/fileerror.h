// Errors of file operations, numbered as the Windows program's file statements raise them, with a
// description that names the file and the operating system's reason.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/error.h"

namespace veldon {

// A path as UTF-8 text, and back, the same on every platform (std::string paths are in the
// ANSI code page on Windows).
inline std::string pathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

inline std::filesystem::path pathFromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// `action` says what failed ("cannot open", "cannot write"); `reason` is the system's error code.
inline Error fileError(const std::string& action, const std::filesystem::path& file,
                       std::error_code reason) {
    long number = errc::PathFileAccessError;
    if (reason == std::errc::no_such_file_or_directory || reason == std::errc::not_a_directory) {
        number = errc::PathNotFound;
    } else if (reason == std::errc::permission_denied ||
               reason == std::errc::operation_not_permitted ||
               reason == std::errc::read_only_file_system) {
        number = errc::PermissionDenied;
    } else if (reason == std::errc::no_space_on_device) {
        number = errc::DiskFull;
    }
    std::string description = action + " " + pathText(file);
    if (reason) {
        description += ": " + reason.message();
    }
    return Error(number, description);
}

inline Error fileError(const std::string& action, const std::filesystem::path& file,
                       int errnoValue) {
    return fileError(action, file, std::error_code(errnoValue, std::generic_category()));
}

}  // namespace veldon
