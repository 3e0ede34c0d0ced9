// The central store on a MariaDB server of the head office's own (MariaDB Connector/C).
#pragma once

#include <memory>
#include <string>

#include "central/store.h"

namespace veldon::central {

// Where the store lives: mariadb://USER@HOST:PORT/DATABASE. The password never stands in the
// address; the caller fills it in from the environment or a file.
struct MariadbTarget {
    std::string user;
    std::string host;
    int port = 3306;
    std::string database;
    std::string password;
};

// True for a --db value that names a MariaDB server rather than a SQLite file.
bool isMariadbAddress(const std::string& text);

// Parses mariadb://USER@HOST:PORT/DATABASE (the port may be left out: 3306; an IPv6 host in
// brackets). Raises veldon::Error (BadArguments) saying what is wrong. A database name is letters,
// digits, '_' and '$', at most 64 of them.
MariadbTarget parseMariadbTarget(const std::string& address);

// Connects, creates the database and the tables when missing (refusing a database that holds
// other tables, or tables of a newer schema version) and checks that the server makes every
// commit durable (innodb_flush_log_at_trx_commit = 1; refused otherwise). Raises veldon::Error
// (ProviderError) when any of that fails.
std::unique_ptr<CentralStore> openMariadbStore(const MariadbTarget& target);

// "mariadb://USER@HOST:PORT/DATABASE" again, for messages: never the password.
std::string describeTarget(const MariadbTarget& target);

}  // namespace veldon::central
