#include "platform/database.h"

#include <cctype>

#include "platform/error.h"
#include "platform/sqlitebackend.h"

namespace veldon {

std::unique_ptr<Connection> createConnection() {
    // The SQLite form of the databases is the one backend so far; an ODBC backend for the Access
    // files on Windows slots in here.
    return createSqliteConnection();
}

std::map<std::string, std::string> connectionAttributes(const std::string& connectionString) {
    std::map<std::string, std::string> attributes;
    std::size_t i = 0;
    auto trim = [](std::string s) {
        std::size_t b = s.find_first_not_of(" \t");
        std::size_t e = s.find_last_not_of(" \t");
        return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    };
    while (i < connectionString.size()) {
        std::size_t eq = connectionString.find('=', i);
        if (eq == std::string::npos) {
            break;
        }
        std::string name = trim(connectionString.substr(i, eq - i));
        std::size_t valueStart = eq + 1;
        std::string value;
        std::size_t next;
        std::size_t firstChar = connectionString.find_first_not_of(" \t", valueStart);
        if (firstChar != std::string::npos && connectionString[firstChar] == '{') {
            std::size_t close = connectionString.find('}', firstChar);
            if (close == std::string::npos) {
                close = connectionString.size();
            }
            value = connectionString.substr(firstChar + 1, close - firstChar - 1);
            next = connectionString.find(';', close);
        } else {
            next = connectionString.find(';', valueStart);
            value = trim(connectionString.substr(
                valueStart,
                (next == std::string::npos ? connectionString.size() : next) - valueStart));
        }
        for (char& c : name) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        if (!name.empty()) {
            attributes.emplace(name, value);  // the first occurrence wins, as with ODBC
        }
        if (next == std::string::npos) {
            break;
        }
        i = next + 1;
    }
    return attributes;
}

std::filesystem::path databaseFileOf(const std::string& connectionString) {
    auto attributes = connectionAttributes(connectionString);
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
