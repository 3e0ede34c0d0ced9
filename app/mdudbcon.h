// The connection strings of the program, exactly as the Windows program builds them. On Linux the
// database layer reads Dbq and DefaultDir from them and ignores the rest.
#pragma once

#include <string>

namespace veldon {

// The configuration database MyCF.MDB in the program folder.
std::string configDbConnectionString(const std::string& programFolder);

// The shop's local database by the numeric business type: 0 retail (POS.MDB), 1 restaurant
// (FOOD.MDB); empty for any other type.
std::string localConnectionString(double serviceType, const std::string& dataFolder,
                                  const std::string& fileName);

// The central database's ODBC connection string, passed along with every remote call. The values
// are used as stored, without trimming.
std::string centerConnectionString(const std::string& dbServer, const std::string& dbName,
                                   const std::string& dbUser);

// The string with the values of its PWD attributes replaced by "****", for display.
std::string maskPasswords(const std::string& connectionString);

}  // namespace veldon
