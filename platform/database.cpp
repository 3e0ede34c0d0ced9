#include "platform/database.h"

#include "platform/asciitext.h"
#include "platform/error.h"
#ifdef _WIN32
#include "platform/odbcbackend.h"
#else
#include "platform/sqlitebackend.h"
#endif

namespace veldon {

std::unique_ptr<Connection> createConnection() {
#ifdef _WIN32
    return createOdbcConnection();  // the Access files, as the POS program keeps them
#else
    return createSqliteConnection();  // their SQLite form
#endif
}

std::map<std::string, std::string> connectionAttributes(const std::string& connectionString) {
    std::map<std::string, std::string> attributes;
    const std::string& s = connectionString;
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t eq = s.find('=', i);
        const std::size_t semi = s.find(';', i);
        if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
            if (semi == std::string::npos) {
                break;  // a last piece without "=" carries nothing
            }
            i = semi + 1;
            continue;
        }
        std::string name = s.substr(i, eq - i);
        name.erase(0, name.find_first_not_of(" \t"));
        name.erase(name.find_last_not_of(" \t") + 1);
        name = asciiUppered(name);
        std::string value;
        std::size_t next = eq + 1;
        if (next < s.size() && s[next] == '{') {
            // A braced value may hold ";"; "}}" stands for "}".
            for (++next; next < s.size(); ++next) {
                if (s[next] == '}') {
                    if (next + 1 < s.size() && s[next + 1] == '}') {
                        value += '}';
                        ++next;
                        continue;
                    }
                    ++next;
                    break;
                }
                value += s[next];
            }
        } else {
            value = s.substr(next, s.find(';', next) - next);
        }
        if (!name.empty()) {
            attributes.emplace(name, value);  // the first occurrence wins, as with ODBC
        }
        const std::size_t end = s.find(';', next);
        if (end == std::string::npos) {
            break;
        }
        i = end + 1;
    }
    return attributes;
}

std::filesystem::path databaseFileOf(const std::string& connectionString) {
    auto attributes = connectionAttributes(connectionString);
    for (auto& [name, value] : attributes) {
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t") + 1);
    }
    auto dbq = attributes.find("DBQ");
    if (dbq == attributes.end() || dbq->second.empty()) {
        throw Error(errc::ProviderError,
                    "The connection string names no database file (Dbq is missing).");
    }
    std::filesystem::path file(dbq->second);
    if (file.is_absolute()) {
        return file;
    }
    auto dir = attributes.find("DEFAULTDIR");
    if (dir == attributes.end() || dir->second.empty()) {
        return file;
    }
    return std::filesystem::path(dir->second) / file;
}

}  // namespace veldon
