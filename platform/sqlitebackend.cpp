#include "platform/sqlitebackend.h"

#include <sqlite3.h>

#include <cmath>
#include <filesystem>
#include <optional>
#include <set>
#include <utility>

#include "platform/asciitext.h"
#include "platform/error.h"
#include "platform/jetdialect.h"

namespace veldon {

namespace {

constexpr int BusyTimeoutMs = 5000;  // the POS program may be writing at the same moment

// The open database handle, shared with the recordsets that write rows back through it.
struct Handle {
    sqlite3* db = nullptr;
    std::string file;
};

Error sqliteError(sqlite3* db, const std::string& file, const std::string& what = {}) {
    std::string message = db ? sqlite3_errmsg(db) : "out of memory";
    int code = db ? sqlite3_extended_errcode(db) : SQLITE_NOMEM;
    std::string description = message;
    if (!what.empty()) {
        description = what + ": " + description;
    }
    description += " (SQLite error " + std::to_string(code) + ", " +
                   std::filesystem::path(file).filename().string() + ")";
    return Error(errc::ProviderError, description);
}

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql, const std::string& file) {
        if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &m_stmt, nullptr) !=
            SQLITE_OK) {
            Error e = sqliteError(db, file);
            sqlite3_finalize(m_stmt);
            throw e;
        }
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return m_stmt; }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

// --- Jet's functions ------------------------------------------------------------------------

std::string textOf(sqlite3_value* v) {
    switch (sqlite3_value_type(v)) {
        case SQLITE_INTEGER:
            return integerToText(sqlite3_value_int64(v));
        case SQLITE_FLOAT:
            return numberToText(sqlite3_value_double(v));
        default: {
            const unsigned char* t = sqlite3_value_text(v);
            return t ? std::string(reinterpret_cast<const char*>(t),
                                   static_cast<std::size_t>(sqlite3_value_bytes(v)))
                     : std::string();
        }
    }
}

void jetIsNull(sqlite3_context* ctx, int, sqlite3_value** argv) {
    sqlite3_result_int(ctx, sqlite3_value_type(argv[0]) == SQLITE_NULL ? -1 : 0);
}

void jetFormat(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    std::string value = textOf(argv[0]);
    std::string result;
    if (argc < 2 || sqlite3_value_type(argv[1]) == SQLITE_NULL ||
        !jet::formatDate(value, textOf(argv[1]), result)) {
        result = value;  // Format leaves what is no date as it is
    }
    sqlite3_result_text(ctx, result.c_str(), static_cast<int>(result.size()), SQLITE_TRANSIENT);
}

void jetCDate(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        sqlite3_result_error(ctx, "Invalid use of Null (CDATE)", -1);
        return;
    }
    std::optional<std::string> date;
    if (sqlite3_value_type(argv[0]) == SQLITE_INTEGER ||
        sqlite3_value_type(argv[0]) == SQLITE_FLOAT) {
        date = jet::dateFromSerial(sqlite3_value_double(argv[0]));
    } else {
        date = jet::canonicalDate(textOf(argv[0]));
    }
    if (!date) {
        std::string message = "Type mismatch (CDATE of '" + textOf(argv[0]) + "')";
        sqlite3_result_error(ctx, message.c_str(), -1);
        return;
    }
    sqlite3_result_text(ctx, date->c_str(), static_cast<int>(date->size()), SQLITE_TRANSIENT);
}

std::string journalMode(sqlite3* db) {
    std::string mode;
    sqlite3_exec(
        db, "PRAGMA journal_mode",
        [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) = values[0] ? values[0] : "";
            return 0;
        },
        &mode, nullptr);
    return mode;
}

void registerJetFunctions(sqlite3* db) {
    const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
    sqlite3_create_function(db, "jet_isnull", 1, flags, nullptr, jetIsNull, nullptr, nullptr);
    sqlite3_create_function(db, "jet_format", 2, flags, nullptr, jetFormat, nullptr, nullptr);
    sqlite3_create_function(db, "jet_format", 1, flags, nullptr, jetFormat, nullptr, nullptr);
    sqlite3_create_function(db, "jet_cdate", 1, flags, nullptr, jetCDate, nullptr, nullptr);
}

// --- Row writer -----------------------------------------------------------------------------

class SqliteRowWriter : public RowWriter {
public:
    SqliteRowWriter(std::shared_ptr<Handle> handle, std::string table,
                    std::vector<std::optional<std::string>> columns,
                    std::vector<sqlite3_int64> rowids)
        : m_handle(std::move(handle)),
          m_table(std::move(table)),
          m_columns(std::move(columns)),
          m_rowids(std::move(rowids)) {}

    void writeRow(std::size_t row, const std::map<int, Value>& changes) override {
        if (!m_handle->db) {
            throw Error(errc::ObjectClosed, "Operation is not allowed when the object is closed.");
        }
        // A batch marks its rows one after the other, each changing the same columns: the
        // statement is prepared once for them.
        std::vector<int> columns;
        for (const auto& [column, value] : changes) {
            if (!m_columns[column]) {
                throwComputedField(column);
            }
            columns.push_back(column);
        }
        if (!m_update || columns != m_updateColumns || m_updateDb != m_handle->db) {
            std::string sql = "UPDATE \"" + m_table + "\" SET ";
            for (std::size_t i = 0; i < columns.size(); ++i) {
                sql += (i ? ", \"" : "\"") + *m_columns[columns[i]] + "\" = ?";
            }
            sql += " WHERE _rowid_ = ?";
            m_update = std::make_unique<Statement>(m_handle->db, sql, m_handle->file);
            m_updateColumns = columns;
            m_updateDb = m_handle->db;
        }
        sqlite3_stmt* stmt = m_update->get();
        sqlite3_reset(stmt);
        int i = 1;
        for (const auto& [column, value] : changes) {
            bind(stmt, i++, value);
        }
        sqlite3_bind_int64(stmt, i, m_rowids[row]);
        if (sqlite3_step(stmt) != SQLITE_DONE) {
            Error e = sqliteError(m_handle->db, m_handle->file, "update of " + m_table);
            sqlite3_reset(stmt);
            throw e;
        }
        sqlite3_reset(stmt);
        if (sqlite3_changes(m_handle->db) == 0) {
            throwRowNotFound(m_table);
        }
    }

private:
    static void bind(sqlite3_stmt* stmt, int i, const Value& v) {
        switch (v.kind()) {
            case Value::Kind::Null:
                sqlite3_bind_null(stmt, i);
                break;
            case Value::Kind::Boolean:
                sqlite3_bind_int(stmt, i, v.asBoolean() ? -1 : 0);
                break;
            case Value::Kind::Integer:
                sqlite3_bind_int64(stmt, i, v.asInteger());
                break;
            case Value::Kind::Real:
                sqlite3_bind_double(stmt, i, v.asReal());
                break;
            case Value::Kind::Text:
                sqlite3_bind_text(stmt, i, v.asText().c_str(), static_cast<int>(v.asText().size()),
                                  SQLITE_TRANSIENT);
                break;
        }
    }

    std::shared_ptr<Handle> m_handle;
    std::string m_table;
    std::vector<std::optional<std::string>> m_columns;  // base column of each field, if any
    std::vector<sqlite3_int64> m_rowids;
    std::unique_ptr<Statement> m_update;  // the last UPDATE, for the columns below
    std::vector<int> m_updateColumns;
    sqlite3* m_updateDb = nullptr;
};

// --- Connection -----------------------------------------------------------------------------

// Finds `file` without regard to letter case when it does not exist as written: the POS program's
// files are named on Windows, where case does not matter.
std::filesystem::path resolveCase(const std::filesystem::path& file) {
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) {
        return file;
    }
    auto folder = file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    std::string wanted = asciiLowered(file.filename().string());
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (asciiLowered(entry.path().filename().string()) == wanted) {
            return entry.path();
        }
    }
    return file;
}

class SqliteConnection : public Connection {
public:
    ~SqliteConnection() override { close(); }

    void open(const std::string& connectionString) override {
        if (isOpen()) {
            throw Error(errc::ObjectOpen, "Operation is not allowed when the object is open.");
        }
        std::filesystem::path file = resolveCase(databaseFileOf(connectionString));
        std::error_code ec;
        if (!std::filesystem::is_regular_file(file, ec)) {
            throw Error(errc::ProviderError, "Could not find file '" + file.string() + "'.");
        }
        sqlite3* db = nullptr;
        // One thread uses a connection: SQLite need not lock it.
        int rc = sqlite3_open_v2(file.string().c_str(), &db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc != SQLITE_OK) {
            Error e = sqliteError(db, file.string(), "cannot open the database");
            sqlite3_close(db);
            throw e;
        }
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, BusyTimeoutMs);
        // A file that is no database fails here, at the open, as with Access.
        if (sqlite3_exec(db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr) !=
            SQLITE_OK) {
            Error e = sqliteError(db, file.string(), "cannot open the database");
            sqlite3_close(db);
            throw e;
        }
        // Every mark of a transfer is a commit of its own, so the POS program never waits on a
        // transfer. A persistent rollback journal saves each commit creating and deleting the
        // journal file, a third of its cost; it is a setting of this connection only, as safe as
        // the default, and the file of a database in any other mode (WAL) is left as it is.
        if (journalMode(db) == "delete") {
            sqlite3_exec(db, "PRAGMA journal_mode = PERSIST", nullptr, nullptr, nullptr);
        }
        registerJetFunctions(db);
        m_handle = std::make_shared<Handle>(Handle{db, file.string()});
    }

    bool isOpen() const override { return m_handle && m_handle->db; }

    void close() override {
        if (!isOpen()) {
            return;
        }
        if (m_inTransaction) {
            sqlite3_exec(m_handle->db, "ROLLBACK", nullptr, nullptr, nullptr);
            m_inTransaction = false;
        }
        sqlite3_close_v2(m_handle->db);
        m_handle->db = nullptr;  // recordsets still holding the handle now refuse to write
        m_handle.reset();
    }

    long execute(const std::string& sql) override {
        requireOpen();
        std::string translated = jet::toSqlite(sql);
        Statement stmt(m_handle->db, translated, m_handle->file);
        const bool writes = !sqlite3_stmt_readonly(stmt.get());
        int rc;
        while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        }
        if (rc != SQLITE_DONE) {
            throw sqliteError(m_handle->db, m_handle->file);
        }
        return writes ? sqlite3_changes(m_handle->db) : 0;
    }

    void beginTrans() override {
        requireOpen();
        if (m_inTransaction) {
            throw Error(errc::ProviderError,
                        "A transaction is already open on this connection; nested transactions "
                        "are not supported.");
        }
        // IMMEDIATE takes the write lock at once, waiting for the POS program through the busy
        // timeout, rather than failing at the first change when a reader must be upgraded.
        exec("BEGIN IMMEDIATE");
        m_inTransaction = true;
    }

    void commitTrans() override {
        requireTransaction();
        exec("COMMIT");
        m_inTransaction = false;
    }

    void rollbackTrans() override {
        requireTransaction();
        m_inTransaction = false;
        exec("ROLLBACK");
    }

    bool inTransaction() const override { return m_inTransaction; }

    std::unique_ptr<Recordset> openRecordset(const std::string& sql, CursorType,
                                             LockType lock) override {
        requireOpen();
        std::string translated = jet::toSqlite(sql);
        // ADO opens read-only unless asked otherwise.
        bool wantUpdates = lock == LockType::Optimistic || lock == LockType::Pessimistic ||
                           lock == LockType::BatchOptimistic;
        if (wantUpdates) {
            if (auto recordset = openUpdatable(translated)) {
                return recordset;
            }
        }
        Statement stmt(m_handle->db, translated, m_handle->file);
        auto recordset = std::make_unique<Recordset>(columnNames(stmt.get(), 0));
        fetch(stmt.get(), *recordset, 0, nullptr);
        recordset->finishLoading();
        return recordset;
    }

    std::string fileName() const override { return isOpen() ? m_handle->file : std::string(); }

private:
    void requireOpen() const {
        if (!isOpen()) {
            throw Error(errc::ObjectClosed, "Operation is not allowed when the object is closed.");
        }
    }

    void requireTransaction() const {
        requireOpen();
        if (!m_inTransaction) {
            throw Error(errc::NoTransaction,
                        "You tried to commit or rollback a transaction without first beginning "
                        "a transaction.");
        }
    }

    void exec(const char* sql) {
        if (sqlite3_exec(m_handle->db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            throw sqliteError(m_handle->db, m_handle->file, sql);
        }
    }

    static std::vector<std::string> columnNames(sqlite3_stmt* stmt, int skip) {
        std::vector<std::string> names;
        for (int i = skip; i < sqlite3_column_count(stmt); ++i) {
            const char* name = sqlite3_column_name(stmt, i);
            names.emplace_back(name ? name : "");
        }
        return names;
    }

    void fetch(sqlite3_stmt* stmt, Recordset& recordset, int skip,
               std::vector<sqlite3_int64>* rowids) {
        int columns = sqlite3_column_count(stmt);
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            if (rowids) {
                rowids->push_back(sqlite3_column_int64(stmt, 0));
            }
            for (int i = skip; i < columns; ++i) {
                switch (sqlite3_column_type(stmt, i)) {
                    case SQLITE_INTEGER:
                        recordset.addInteger(sqlite3_column_int64(stmt, i));
                        break;
                    case SQLITE_FLOAT:
                        recordset.addReal(sqlite3_column_double(stmt, i));
                        break;
                    case SQLITE_NULL:
                        recordset.addNull();
                        break;
                    default: {
                        auto text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
                        recordset.addText(std::string_view(
                            text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, i))));
                        break;
                    }
                }
            }
            recordset.endRow();
        }
        if (rc != SQLITE_DONE) {
            throw sqliteError(m_handle->db, m_handle->file);
        }
    }

    // A recordset that can write its rows back: a plain select from one table, read together
    // with each row's rowid. Null when the query is not of that kind.
    std::unique_ptr<Recordset> openUpdatable(const std::string& translated) {
        auto insertAt = jet::plainSelectInsertPoint(translated);
        if (!insertAt) {
            return nullptr;
        }
        std::string table;
        std::vector<std::optional<std::string>> baseColumns;
        {
            Statement probe(m_handle->db, translated, m_handle->file);
            for (int i = 0; i < sqlite3_column_count(probe.get()); ++i) {
                const char* t = sqlite3_column_table_name(probe.get(), i);
                const char* c = sqlite3_column_origin_name(probe.get(), i);
                if (t && c) {
                    if (!table.empty() && table != t) {
                        return nullptr;
                    }
                    table = t;
                    baseColumns.emplace_back(c);
                } else {
                    baseColumns.emplace_back(std::nullopt);
                }
            }
        }
        if (table.empty()) {
            return nullptr;
        }
        std::string withRowid = translated.substr(0, *insertAt) + " \"" + table + "\"._rowid_," +
                                translated.substr(*insertAt);
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(m_handle->db, withRowid.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
            sqlite3_finalize(raw);
            return nullptr;  // e.g. the table is aliased: read-only then
        }
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
        auto recordset = std::make_unique<Recordset>(columnNames(stmt.get(), 1));
        std::vector<sqlite3_int64> rowids;
        fetch(stmt.get(), *recordset, 1, &rowids);
        recordset->finishLoading(std::make_unique<SqliteRowWriter>(
            m_handle, table, std::move(baseColumns), std::move(rowids)));
        return recordset;
    }

    std::shared_ptr<Handle> m_handle;
    bool m_inTransaction = false;
};

}  // namespace

std::unique_ptr<Connection> createSqliteConnection() {
    return std::make_unique<SqliteConnection>();
}

}  // namespace veldon
