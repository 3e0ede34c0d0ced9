// The local database layer: connections and recordsets as the engines use them.
//
// On Windows the POS program's Access files are reached over ODBC; elsewhere they are SQLite files.
// Either way the program sends Access (Jet) SQL and the backend accepts that dialect as far as the
// program uses it. Nothing of a backend leaks through this interface: backends only produce rows
// for a Recordset and write changed rows back.
//
// Errors are raised as veldon::Error with the numbers the Windows program sees (see error.h) and a
// description naming the cause and the database file.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "platform/recordset.h"

namespace veldon {

// Accepted for fidelity with the calls of the program; every recordset is a client-side snapshot
// with an exact record count whatever the cursor type.
enum class CursorType { Unspecified, ForwardOnly, Keyset, Dynamic, Static };
enum class LockType { Unspecified, ReadOnly, Pessimistic, Optimistic, BatchOptimistic };

class Connection {
public:
    virtual ~Connection() = default;

    // Opens the database named by an ODBC-style connection string ("...;Dbq=FOOD.MDB;
    // DefaultDir=C:\POS;Uid=Admin;pwd=..."). A missing file is an error; it is never created.
    virtual void open(const std::string& connectionString) = 0;
    virtual bool isOpen() const = 0;
    // Closes the connection; a transaction still open is rolled back. Recordsets opened on it stay
    // readable, but can no longer write rows back.
    virtual void close() = 0;

    // Runs a statement that returns no rows; returns the number of rows it changed.
    virtual long execute(const std::string& sql) = 0;

    // One transaction at a time: beginning a second one, or committing or rolling back without
    // one, is an error. A statement outside a transaction is committed on its own. The POS program
    // writes the same database at any moment: a transaction holds its write lock from its first
    // change to its end, so callers keep it short and never wait on anything else inside it.
    virtual void beginTrans() = 0;
    virtual void commitTrans() = 0;
    virtual void rollbackTrans() = 0;
    virtual bool inTransaction() const = 0;

    // Runs a query and returns all its rows. With a lock type other than read-only and a query on
    // a single table, the recordset can write changed rows back (Recordset::update).
    virtual std::unique_ptr<Recordset> openRecordset(const std::string& sql,
                                                     CursorType cursor = CursorType::Unspecified,
                                                     LockType lock = LockType::Unspecified) = 0;

    // The database file this connection has open (for messages), empty when closed.
    virtual std::string fileName() const = 0;
};

// A new, closed connection of this platform's backend.
std::unique_ptr<Connection> createConnection();

// The attributes of an ODBC-style connection string ("Name=value;..."), keyed by upper-case name,
// values as written; a value in braces loses them and may hold ";" ("Driver={...}", "}}" for "}").
// The first occurrence of a name wins; a piece without "=" is ignored.
std::map<std::string, std::string> connectionAttributes(const std::string& connectionString);

// The database file a connection string names: Dbq, inside DefaultDir unless Dbq is absolute.
// Raises veldon::Error when the string names no file.
std::filesystem::path databaseFileOf(const std::string& connectionString);

}  // namespace veldon
