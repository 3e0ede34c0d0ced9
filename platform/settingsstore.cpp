#include "platform/settingsstore.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/asciitext.h"
#include "platform/durablefile.h"
#include "platform/error.h"
#include "platform/fileerror.h"
#include "platform/textcodec.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

namespace veldon {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view StoreFolderName = "VB and VBA Program Settings";

bool hasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// An application names a file of the store and nothing outside it.
bool isValidApplication(std::string_view application) {
    return !application.empty() && application != "." && application != ".." &&
           application.find_first_of(std::string_view("/\\\0\r\n", 5)) == std::string_view::npos;
}

// The names and texts that the file's line format can hold; the registry refuses empty names too.
void checkStorable(const std::string& application, const std::string& section,
                   const std::string& key, const std::string& value) {
    const char* problem = nullptr;
    if (!isValidApplication(application)) {
        problem = "the application name is empty or holds a path separator or line break";
    } else if (section.empty() || hasLineBreak(section)) {
        problem = "the section name is empty or holds a line break";
    } else if (key.empty() || hasLineBreak(key) || key.find('=') != std::string::npos ||
               key.front() == '[') {
        problem = "the key name is empty, begins with '[' or holds '=' or a line break";
    } else if (hasLineBreak(value)) {
        problem = "the value holds a line break";
    }
    if (problem) {
        throw Error(errc::InvalidProcedureCall, "cannot store setting " + application + "\\" +
                                                    section + "\\" + key + ": " + problem);
    }
}

// ---- The INI file of one application ------------------------------------------------------------

enum class LineKind { Other, Section, Entry };

struct ParsedLine {
    LineKind kind = LineKind::Other;
    std::string_view name;   // section or key
    std::string_view value;  // everything after the first '=', blanks included
};

ParsedLine parseLine(std::string_view line) {
    if (line.starts_with('[')) {
        std::string_view header = line;
        while (header.ends_with(' ') || header.ends_with('\t')) {
            header.remove_suffix(1);
        }
        if (header.size() >= 2 && header.ends_with(']')) {
            return {LineKind::Section, header.substr(1, header.size() - 2), {}};
        }
        return {};
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
        return {};
    }
    return {LineKind::Entry, line.substr(0, equals), line.substr(equals + 1)};
}

struct IniLines {
    std::error_code readError;       // set when the file exists but cannot be read
    std::vector<std::string> lines;  // without line ends
};

IniLines readLines(const fs::path& file) {
    IniLines result;
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        return result;
    }
    if (!fs::is_regular_file(file, ec)) {
        result.readError = std::make_error_code(
            fs::is_directory(file, ec) ? std::errc::is_a_directory : std::errc::invalid_argument);
        return result;
    }
    errno = 0;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        result.readError = std::error_code(errno ? errno : EIO, std::generic_category());
        return result;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        result.readError = std::make_error_code(std::errc::io_error);
        return result;
    }
    std::string_view text(bytes);
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);  // left by editors that mark UTF-8
    }
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        result.lines.emplace_back(line);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return result;
}

// Walks the entries in stored order with the section each belongs to.
template <typename Visit>
void forEachEntry(const std::vector<std::string>& lines, Visit visit) {
    std::string_view section;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const ParsedLine line = parseLine(lines[i]);
        if (line.kind == LineKind::Section) {
            section = line.name;
            inSection = true;
        } else if (line.kind == LineKind::Entry && inSection) {
            if (!visit(i, section, line)) {
                return;
            }
        }
    }
}

// The line of the first entry `section`\`key`, if any.
std::optional<std::size_t> findEntry(const std::vector<std::string>& lines,
                                     std::string_view section, std::string_view key) {
    std::optional<std::size_t> found;
    forEachEntry(lines, [&](std::size_t i, std::string_view entrySection, const ParsedLine& line) {
        if (equalsIgnoringAsciiCase(entrySection, section) &&
            equalsIgnoringAsciiCase(line.name, key)) {
            found = i;
            return false;
        }
        return true;
    });
    return found;
}

// Where a new entry of `section` goes: behind the last entry of the first section of that name,
// so that blank lines between sections stay where they are.
std::optional<std::size_t> insertionPoint(const std::vector<std::string>& lines,
                                          std::string_view section) {
    std::optional<std::size_t> point;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const ParsedLine line = parseLine(lines[i]);
        if (line.kind == LineKind::Section) {
            if (point) {
                break;
            }
            inSection = equalsIgnoringAsciiCase(line.name, section);
            if (inSection) {
                point = i + 1;
            }
        } else if (line.kind == LineKind::Entry && inSection) {
            point = i + 1;
        }
    }
    return point;
}

// The folder of the current user's configuration files.
fs::path configHome() {
#ifdef _WIN32
    for (const wchar_t* name : {L"XDG_CONFIG_HOME", L"APPDATA"}) {
        const wchar_t* value = _wgetenv(name);
        if (value && *value && fs::path(value).is_absolute()) {
            return value;
        }
    }
    const wchar_t* profile = _wgetenv(L"USERPROFILE");
    return fs::path(profile ? profile : L".") / ".config";
#else
    // Relative values are to be ignored, as the XDG base directory rules say.
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg && fs::path(xdg).is_absolute()) {
        return xdg;
    }
    const char* home = std::getenv("HOME");
    if (home && *home) {
        return fs::path(home) / ".config";
    }
    // Services started without a HOME still have an entry in the password database.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir) {
        return fs::path(found->pw_dir) / ".config";
    }
    return fs::current_path() / ".config";
#endif
}

}  // namespace

IniSettingsStore::IniSettingsStore(std::filesystem::path root) : m_root(std::move(root)) {}

std::filesystem::path IniSettingsStore::defaultRoot() {
    return configHome() / pathFromUtf8(std::string(StoreFolderName));
}

std::filesystem::path IniSettingsStore::fileOf(const std::string& application) const {
    const std::string fileName = application + ".ini";
    const fs::path exact = m_root / pathFromUtf8(fileName);
    std::error_code ec;
    if (fs::exists(exact, ec)) {
        return exact;
    }
    // Application names match without regard to case, as registry keys do.
    std::optional<fs::path> match;
    for (fs::directory_iterator it(m_root, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path candidate = it->path();
        if (equalsIgnoringAsciiCase(pathText(candidate.filename()), fileName) &&
            (!match || candidate < *match)) {
            match = candidate;
        }
    }
    return match ? *match : exact;
}

std::string IniSettingsStore::get(const std::string& application, const std::string& section,
                                  const std::string& key, const std::string& defaultValue) const {
    if (!isValidApplication(application)) {
        return defaultValue;
    }
    const IniLines file = readLines(fileOf(application));
    const std::optional<std::size_t> line = findEntry(file.lines, section, key);
    if (!line) {
        return defaultValue;
    }
    return std::string(parseLine(file.lines[*line]).value);
}

void IniSettingsStore::set(const std::string& application, const std::string& section,
                           const std::string& key, const std::string& value) {
    checkStorable(application, section, key, value);
    std::error_code ec;
    fs::create_directories(m_root, ec);
    if (ec) {
        throw fileError("cannot create the settings folder", m_root, ec);
    }
    const fs::path file = fileOf(application);
    IniLines content = readLines(file);
    if (content.readError) {
        // Writing now would drop every entry that could not be read.
        throw fileError("cannot read", file, content.readError);
    }
    std::vector<std::string>& lines = content.lines;
    if (const auto line = findEntry(lines, section, key)) {
        // The stored spelling of the name stays, as the registry keeps a value's first name.
        const std::string_view storedKey = parseLine(lines[*line]).name;
        lines[*line] = std::string(storedKey) + "=" + value;
    } else if (const auto point = insertionPoint(lines, section)) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*point), key + "=" + value);
    } else {
        if (!lines.empty() && !lines.back().empty()) {
            lines.emplace_back();
        }
        lines.push_back("[" + section + "]");
        lines.push_back(key + "=" + value);
    }
    std::string bytes;
    for (const std::string& line : lines) {
        bytes += line;
        bytes += '\n';
    }
    replaceFileDurably(file, bytes);
}

std::vector<SettingEntry> IniSettingsStore::list(const std::string& application) const {
    std::vector<SettingEntry> entries;
    if (!isValidApplication(application)) {
        return entries;
    }
    const IniLines file = readLines(fileOf(application));
    // A name written twice by hand counts once, as get() sees it.
    std::set<std::pair<std::string, std::string>> seen;
    forEachEntry(file.lines, [&](std::size_t, std::string_view section, const ParsedLine& line) {
        if (seen.emplace(asciiLowered(section), asciiLowered(line.name)).second) {
            entries.push_back(
                {std::string(section), std::string(line.name), std::string(line.value)});
        }
        return true;
    });
    return entries;
}

std::vector<std::string> IniSettingsStore::applications() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(m_root, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path file = it->path();
        const std::string fileName = pathText(file.filename());
        if (fileName.starts_with('.') || fileName.size() <= 4 ||
            !equalsIgnoringAsciiCase(fileName.substr(fileName.size() - 4), ".ini")) {
            continue;
        }
        const std::string application = fileName.substr(0, fileName.size() - 4);
        if (!list(application).empty()) {
            names.push_back(application);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// ---- The registry ------------------------------------------------------------------------------

#ifdef _WIN32

namespace {

const std::wstring RegistryRoot = L"Software\\VB and VBA Program Settings";

class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() {
        if (m_key) {
            RegCloseKey(m_key);
        }
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    bool open(const std::wstring& path, REGSAM access) {
        return RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, access, &m_key) == ERROR_SUCCESS;
    }
    HKEY handle() const { return m_key; }
    HKEY* out() { return &m_key; }

    // The names of the subkeys, or of the values when `values` is true.
    std::vector<std::wstring> names(bool values) const {
        std::vector<std::wstring> result;
        for (DWORD index = 0;; ++index) {
            wchar_t name[16384];
            DWORD length = 16384;
            const LONG status = values ? RegEnumValueW(m_key, index, name, &length, nullptr,
                                                       nullptr, nullptr, nullptr)
                                       : RegEnumKeyExW(m_key, index, name, &length, nullptr,
                                                       nullptr, nullptr, nullptr);
            if (status != ERROR_SUCCESS) {
                return result;
            }
            result.emplace_back(name, length);
        }
    }

    std::optional<std::wstring> text(const std::wstring& name) const {
        const DWORD flags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
        DWORD size = 0;
        if (RegGetValueW(m_key, nullptr, name.c_str(), flags, nullptr, nullptr, &size) !=
            ERROR_SUCCESS) {
            return std::nullopt;
        }
        std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        if (RegGetValueW(m_key, nullptr, name.c_str(), flags, nullptr, value.data(), &size) !=
            ERROR_SUCCESS) {
            return std::nullopt;
        }
        value.resize(wcsnlen(value.c_str(), value.size()));
        return value;
    }

private:
    HKEY m_key = nullptr;
};

class RegistrySettingsStore : public SettingsStore {
public:
    std::string get(const std::string& application, const std::string& section,
                    const std::string& key, const std::string& defaultValue) const override {
        RegistryKey sectionKey;
        if (!sectionKey.open(pathOf(application, section), KEY_QUERY_VALUE)) {
            return defaultValue;
        }
        const std::optional<std::wstring> value = sectionKey.text(utf8ToWide(key));
        return value ? wideToUtf8(*value) : defaultValue;
    }

    void set(const std::string& application, const std::string& section, const std::string& key,
             const std::string& value) override {
        if (application.empty() || section.empty() || key.empty()) {
            throw Error(errc::InvalidProcedureCall, "cannot store setting " + application + "\\" +
                                                        section + "\\" + key + ": a name is empty");
        }
        const std::wstring path = pathOf(application, section);
        RegistryKey sectionKey;
        LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                      nullptr, sectionKey.out(), nullptr);
        if (status == ERROR_SUCCESS) {
            const std::wstring text = utf8ToWide(value);
            status = RegSetValueExW(sectionKey.handle(), utf8ToWide(key).c_str(), 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(text.c_str()),
                                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        }
        if (status != ERROR_SUCCESS) {
            throw Error(errc::PathFileAccessError,
                        "cannot store setting HKEY_CURRENT_USER\\" + wideToUtf8(path) + "\\" + key +
                            ": " + std::system_category().message(static_cast<int>(status)));
        }
    }

    std::vector<SettingEntry> list(const std::string& application) const override {
        std::vector<SettingEntry> entries;
        RegistryKey applicationKey;
        if (!applicationKey.open(RegistryRoot + L"\\" + utf8ToWide(application),
                                 KEY_ENUMERATE_SUB_KEYS)) {
            return entries;
        }
        for (const std::wstring& section : applicationKey.names(false)) {
            RegistryKey sectionKey;
            if (!sectionKey.open(RegistryRoot + L"\\" + utf8ToWide(application) + L"\\" + section,
                                 KEY_QUERY_VALUE)) {
                continue;
            }
            for (const std::wstring& key : sectionKey.names(true)) {
                if (const auto value = sectionKey.text(key)) {
                    entries.push_back({wideToUtf8(section), wideToUtf8(key), wideToUtf8(*value)});
                }
            }
        }
        return entries;
    }

    std::vector<std::string> applications() const override {
        std::vector<std::string> names;
        RegistryKey rootKey;
        if (rootKey.open(RegistryRoot, KEY_ENUMERATE_SUB_KEYS)) {
            for (const std::wstring& application : rootKey.names(false)) {
                if (!list(wideToUtf8(application)).empty()) {
                    names.push_back(wideToUtf8(application));
                }
            }
        }
        return names;
    }

private:
    static std::wstring pathOf(const std::string& application, const std::string& section) {
        return RegistryRoot + L"\\" + utf8ToWide(application) + L"\\" + utf8ToWide(section);
    }
};

}  // namespace

std::unique_ptr<SettingsStore> openUserSettingsStore() {
    return std::make_unique<RegistrySettingsStore>();
}

#else

std::unique_ptr<SettingsStore> openUserSettingsStore() {
    return std::make_unique<IniSettingsStore>(IniSettingsStore::defaultRoot());
}

#endif

}  // namespace veldon
