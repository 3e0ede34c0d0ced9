#include "app/mdudbcon.h"

#include "platform/asciitext.h"

namespace veldon {

std::string configDbConnectionString(const std::string& programFolder) {
    return std::string(
               "PROVIDER=MSDataShape;Driver={Microsoft Access Driver (*.mdb)};Dbq=MyCF.MDB;") +
           "DefaultDir=" + programFolder + ";Uid=Admin;pwd=qtrk48207";
}

std::string localConnectionString(double serviceType, const std::string& dataFolder,
                                  const std::string& fileName) {
    const std::string head =
        "PROVIDER=MSDataShape;Driver={Microsoft Access Driver (*.mdb)};Dbq=" + fileName + ";" +
        "DefaultDir=" + dataFolder;
    if (serviceType == 0) {
        return head + ";Uid=Admin;pwd=%%%4172";
    }
    if (serviceType == 1) {
        return head + ";Uid=Admin;pwd=qtrk48207";
    }
    return {};
}

std::string centerConnectionString(const std::string& dbServer, const std::string& dbName,
                                   const std::string& dbUser) {
    return std::string("DRIVER={MySQL ODBC 3.51 Driver}") + ";SERVER=" + dbServer +
           ";DATABASE=" + dbName + ";UID=" + dbUser + ";PWD=" + "mv5529" + ";OPTION=16386";
}

std::string maskPasswords(const std::string& connectionString) {
    std::string out;
    std::size_t start = 0;
    while (start <= connectionString.size()) {
        std::size_t end = connectionString.find(';', start);
        std::string part = connectionString.substr(
            start, end == std::string::npos ? std::string::npos : end - start);
        std::size_t eq = part.find('=');
        const std::string name = asciiUppered(part.substr(0, eq));
        if (eq != std::string::npos && (name == "PWD" || name == "PASSWORD")) {
            part = part.substr(0, eq + 1) + "****";
        }
        out += part;
        if (end == std::string::npos) {
            break;
        }
        out += ';';
        start = end + 1;
    }
    return out;
}

}  // namespace veldon
