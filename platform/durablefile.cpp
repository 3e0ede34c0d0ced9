#include "platform/durablefile.h"

#include <cerrno>
#include <cstdio>

#include "platform/fileerror.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include <random>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace veldon {

namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
// Opens `file` with `mode`, writes `bytes`, flushes them to the disk and closes it.
void writeAndCommit(const fs::path& file, const wchar_t* mode, const std::string& bytes) {
    std::FILE* out = _wfopen(file.c_str(), mode);
    if (!out) {
        throw fileError("cannot open", file, errno);
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size() &&
                         std::fflush(out) == 0 && _commit(_fileno(out)) == 0;
    const int failure = errno;
    if (std::fclose(out) != 0 || !written) {
        throw fileError("cannot write", file, written ? errno : failure);
    }
}
#else
// Writes, flushes to the disk and closes `fd`.
void writeAll(int fd, const std::string& bytes, const fs::path& file) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int failure = errno;
            ::close(fd);
            throw fileError("cannot write", file, failure);
        }
        done += static_cast<std::size_t>(count);
    }
    if (::fsync(fd) != 0) {
        const int failure = errno;
        ::close(fd);
        throw fileError("cannot write", file, failure);
    }
    if (::close(fd) != 0) {
        throw fileError("cannot write", file, errno);
    }
}

// Makes a new or renamed entry of `folder` durable; its files are consistent without it.
void syncFolder(const fs::path& folder) {
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
}
#endif

}  // namespace

void appendFileDurably(const fs::path& file, const std::string& bytes) {
#ifdef _WIN32
    writeAndCommit(file, L"ab", bytes);
#else
    // Created here: the folder's new entry has to reach the disk as well.
    bool created = true;
    int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    }
    if (fd < 0) {
        throw fileError("cannot open", file, errno);
    }
    writeAll(fd, bytes, file);
    if (created) {
        syncFolder(file.parent_path());
    }
#endif
}

void replaceFileDurably(const fs::path& target, const std::string& bytes) {
    const fs::path folder = target.parent_path();
#ifdef _WIN32
    std::random_device random;
    const fs::path temporary =
        folder / (L"." + target.filename().wstring() + L"." + std::to_wstring(random()) + L".tmp");
    try {
        writeAndCommit(temporary, L"wb", bytes);
    } catch (...) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw;
    }
    if (!MoveFileExW(temporary.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const std::error_code reason(static_cast<int>(GetLastError()), std::system_category());
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw fileError("cannot replace", target, reason);
    }
#else
    std::string name = pathText(folder / ("." + pathText(target.filename()) + ".XXXXXX"));
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        throw fileError("cannot create a temporary file in", folder, errno);
    }
    const fs::path temporary(name);
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0) {
        ::fchmod(fd, existing.st_mode & 07777);  // keep the permissions that someone gave the file
    }
    try {
        writeAll(fd, bytes, temporary);
    } catch (...) {
        ::unlink(name.c_str());
        throw;
    }
    if (::rename(name.c_str(), target.c_str()) != 0) {
        const int failure = errno;
        ::unlink(name.c_str());
        throw fileError("cannot replace", target, failure);
    }
    syncFolder(folder);
#endif
}

}  // namespace veldon
