#include "platform/textfile.h"

#include <cerrno>
#include <cstdio>

#include "platform/fileerror.h"
#include "platform/textcodec.h"

namespace veldon {

namespace {

std::FILE* openFile(const std::filesystem::path& file, bool append, bool write) {
#ifdef _WIN32
    return _wfopen(file.c_str(), write ? (append ? L"ab" : L"wb") : L"rb");
#else
    return std::fopen(file.c_str(), write ? (append ? "ab" : "wb") : "rb");
#endif
}

}  // namespace

void writeCp949Lines(const std::filesystem::path& file, const std::vector<std::string>& lines,
                     WriteMode mode) {
    std::string bytes;
    for (const std::string& line : lines) {
        bytes += utf8ToCp949(line);
        bytes += "\r\n";
    }
    std::FILE* out = openFile(file, mode == WriteMode::Append, true);
    if (!out) {
        throw fileError("cannot open", file, errno);
    }
    const bool written =
        std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size() && std::fflush(out) == 0;
    const int failure = errno;
    if (std::fclose(out) != 0 || !written) {
        throw fileError("cannot write", file, written ? errno : failure);
    }
}

std::vector<std::string> readCp949Lines(const std::filesystem::path& file) {
    std::FILE* in = openFile(file, false, false);
    if (!in) {
        throw fileError("cannot open", file, errno);
    }
    std::string bytes;
    char buffer[8192];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        bytes.append(buffer, count);
    }
    const bool failed = std::ferror(in) != 0;
    const int failure = errno;
    std::fclose(in);
    if (failed) {
        throw fileError("cannot read", file, failure);
    }

    // Neither byte of a CP949 character is CR or LF, so the lines can be split before decoding.
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        const std::size_t next = end == std::string::npos ? bytes.size() : end + 1;
        if (end == std::string::npos) {
            end = bytes.size();
        }
        if (end > start && bytes[end - 1] == '\r') {
            --end;
        }
        lines.push_back(cp949ToUtf8(std::string_view(bytes).substr(start, end - start)));
        start = next;
    }
    return lines;
}

}  // namespace veldon
