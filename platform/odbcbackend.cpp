#include "platform/odbcbackend.h"

// clang-format off
#include <windows.h>
#include <sql.h>
#include <sqlext.h>
// clang-format on

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "platform/asciitext.h"
#include "platform/error.h"
#include "platform/jetdialect.h"
#include "platform/textcodec.h"
#include "platform/value.h"

namespace veldon {

namespace {

constexpr int BusyTimeoutMs = 5000;  // the POS program may be writing at the same moment
constexpr const char* AccessDriver = "Microsoft Access Driver (*.mdb)";
constexpr const char* AccessEngineDriver = "Microsoft Access Driver (*.mdb, *.accdb)";

SQLWCHAR* sqlw(std::wstring& s) {
    return reinterpret_cast<SQLWCHAR*>(s.data());
}

// The process's one ODBC environment.
SQLHENV environment() {
    static SQLHENV env = [] {
        SQLHENV h = SQL_NULL_HENV;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h)) ||
            !SQL_SUCCEEDED(SQLSetEnvAttr(h, SQL_ATTR_ODBC_VERSION,
                                         reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
            throw Error(errc::ProviderError, "The ODBC driver manager cannot be initialised.");
        }
        return h;
    }();
    return env;
}

// The diagnostics of a failed call as one description: the driver's messages, the SQLSTATE and
// the database file.
Error odbcError(SQLSMALLINT type, SQLHANDLE handle, const std::string& file,
                const std::string& what = {}) {
    std::string messages;
    std::string state;
    for (SQLSMALLINT i = 1; i <= 5; ++i) {
        SQLWCHAR sqlState[6] = {};
        SQLWCHAR text[1024] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        if (!SQL_SUCCEEDED(
                SQLGetDiagRecW(type, handle, i, sqlState, &native, text, 1024, &length))) {
            break;
        }
        if (state.empty()) {
            state = wideToUtf8(reinterpret_cast<const wchar_t*>(sqlState));
        }
        messages +=
            (messages.empty() ? "" : "; ") + wideToUtf8(reinterpret_cast<const wchar_t*>(text));
    }
    std::string description = messages.empty() ? "the ODBC call failed" : messages;
    if (!what.empty()) {
        description = what + ": " + description;
    }
    description += " (ODBC " + (state.empty() ? std::string("error") : state) + ", " +
                   std::filesystem::path(file).filename().string() + ")";
    return Error(errc::ProviderError, description);
}

bool isAccessDriver(std::string_view driver) {
    return asciiLowered(driver).find("microsoft access driver") != std::string::npos;
}

// The name to hand a driver for `file`. Under Wine a driver other than Access is a Unix library
// that opens Unix paths.
std::string driverPath(const std::filesystem::path& file) {
    using UnixName = char*(CDECL*)(LPCWSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto unixName = kernel ? reinterpret_cast<UnixName>(reinterpret_cast<void*>(
                                 GetProcAddress(kernel, "wine_get_unix_file_name")))
                           : nullptr;
    if (unixName) {
        if (char* name = unixName(std::filesystem::absolute(file).wstring().c_str())) {
            std::string out = name;
            HeapFree(GetProcessHeap(), 0, name);
            return out;
        }
    }
    return wideToUtf8(file.wstring());
}

// A value in braces for a connection string ("}" doubled).
std::string braced(const std::string& value) {
    std::string out = "{";
    for (char c : value) {
        out += c;
        if (c == '}') {
            out += '}';
        }
    }
    return out + "}";
}

class StatementHandle {
public:
    StatementHandle(SQLHDBC dbc, const std::string& file) : m_file(file) {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &m_stmt))) {
            throw odbcError(SQL_HANDLE_DBC, dbc, file, "no statement handle");
        }
    }
    ~StatementHandle() { SQLFreeHandle(SQL_HANDLE_STMT, m_stmt); }
    StatementHandle(const StatementHandle&) = delete;
    StatementHandle& operator=(const StatementHandle&) = delete;

    SQLHSTMT get() const { return m_stmt; }
    // Raises the statement's diagnostics unless `rc` is a success (or "no rows", for changes).
    void check(SQLRETURN rc, const std::string& what = {}) const {
        if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
            throw odbcError(SQL_HANDLE_STMT, m_stmt, m_file, what);
        }
    }

private:
    SQLHSTMT m_stmt = SQL_NULL_HSTMT;
    std::string m_file;
};

struct Handle {
    SQLHDBC dbc = SQL_NULL_HDBC;
    std::string file;
    bool access = false;
};

struct ColumnInfo {
    std::string name;
    SQLSMALLINT type = SQL_UNKNOWN_TYPE;
    std::string baseTable;
    std::string baseColumn;
};

std::wstring columnAttribute(SQLHSTMT stmt, SQLUSMALLINT column, SQLUSMALLINT field) {
    SQLWCHAR buffer[256] = {};
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(
            SQLColAttributeW(stmt, column, field, buffer, sizeof buffer, &length, nullptr))) {
        return {};
    }
    return reinterpret_cast<const wchar_t*>(buffer);
}

std::vector<ColumnInfo> describe(const StatementHandle& stmt) {
    SQLSMALLINT count = 0;
    stmt.check(SQLNumResultCols(stmt.get(), &count));
    std::vector<ColumnInfo> columns;
    for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) {
        SQLWCHAR name[256] = {};
        SQLSMALLINT nameLength = 0, type = 0, scale = 0, nullable = 0;
        SQLULEN size = 0;
        stmt.check(SQLDescribeColW(stmt.get(), i, name, 256, &nameLength, &type, &size, &scale,
                                   &nullable));
        ColumnInfo info;
        info.name = wideToUtf8(reinterpret_cast<const wchar_t*>(name));
        info.type = type;
        info.baseTable = wideToUtf8(columnAttribute(stmt.get(), i, SQL_DESC_BASE_TABLE_NAME));
        info.baseColumn = wideToUtf8(columnAttribute(stmt.get(), i, SQL_DESC_BASE_COLUMN_NAME));
        columns.push_back(std::move(info));
    }
    return columns;
}

// The text of a column of the current row; empty when Null.
std::optional<std::wstring> textData(const StatementHandle& stmt, SQLUSMALLINT column) {
    std::wstring out;
    wchar_t buffer[2048];
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc =
            SQLGetData(stmt.get(), column, SQL_C_WCHAR, buffer, sizeof buffer, &indicator);
        if (rc == SQL_NO_DATA) {
            break;
        }
        stmt.check(rc, "reading a field");
        if (indicator == SQL_NULL_DATA) {
            return std::nullopt;
        }
        const std::size_t room = sizeof buffer / sizeof buffer[0] - 1;
        const bool more = rc == SQL_SUCCESS_WITH_INFO &&
                          (indicator == SQL_NO_TOTAL ||
                           static_cast<std::size_t>(indicator) / sizeof(wchar_t) > room);
        out.append(buffer, more ? room : static_cast<std::size_t>(indicator) / sizeof(wchar_t));
        if (!more) {
            break;
        }
    }
    return out;
}

// One field of the current row as the Linux backend reads it: whole numbers as integers, other
// numbers as reals, dates as their text, Yes/No as Booleans, the rest as text.
Value fetchValue(const StatementHandle& stmt, SQLUSMALLINT column, SQLSMALLINT type) {
    SQLLEN indicator = 0;
    switch (type) {
        case SQL_BIT: {
            unsigned char b = 0;
            stmt.check(SQLGetData(stmt.get(), column, SQL_C_BIT, &b, sizeof b, &indicator));
            return indicator == SQL_NULL_DATA ? Value() : Value::boolean(b != 0);
        }
        case SQL_REAL:
        case SQL_FLOAT:
        case SQL_DOUBLE: {
            double d = 0;
            stmt.check(SQLGetData(stmt.get(), column, SQL_C_DOUBLE, &d, sizeof d, &indicator));
            if (indicator == SQL_NULL_DATA) {
                return Value();
            }
            if (d == static_cast<double>(static_cast<std::int64_t>(d)) && d > -9.0e15 &&
                d < 9.0e15) {
                return Value::integer(static_cast<std::int64_t>(d));  // as SQLite stores it
            }
            return Value::real(d);
        }
        case SQL_TYPE_DATE:
        case SQL_TYPE_TIMESTAMP:
        case SQL_DATE:
        case SQL_TIMESTAMP: {
            SQL_TIMESTAMP_STRUCT ts{};
            stmt.check(
                SQLGetData(stmt.get(), column, SQL_C_TYPE_TIMESTAMP, &ts, sizeof ts, &indicator));
            if (indicator == SQL_NULL_DATA) {
                return Value();
            }
            char text[32];
            if (ts.hour || ts.minute || ts.second) {
                std::snprintf(text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u", ts.year, ts.month,
                              ts.day, ts.hour, ts.minute, ts.second);
            } else {
                std::snprintf(text, sizeof text, "%04d-%02u-%02u", ts.year, ts.month, ts.day);
            }
            return Value::text(text);
        }
        default:
            break;
    }
    auto text = textData(stmt, column);
    if (!text) {
        return Value();
    }
    std::string s = wideToUtf8(*text);
    const bool numeric = type == SQL_TINYINT || type == SQL_SMALLINT || type == SQL_INTEGER ||
                         type == SQL_BIGINT || type == SQL_NUMERIC || type == SQL_DECIMAL;
    if (numeric) {
        // SQLite's columns hold any kind of value: only what reads as a number is one.
        char* end = nullptr;
        errno = 0;
        const long long i = std::strtoll(s.c_str(), &end, 10);
        if (!s.empty() && *end == '\0' && errno == 0) {
            return Value::integer(i);
        }
        const double d = std::strtod(s.c_str(), &end);
        if (!s.empty() && *end == '\0') {
            return Value::real(d);
        }
    }
    return Value::text(std::move(s));
}

// --- Row writer -----------------------------------------------------------------------------

// Writes changed rows back by an UPDATE of the one table the recordset reads, locating each row
// by its key columns (primary key or a unique index) when the recordset holds them, else by all
// the columns read, as they were read.
class OdbcRowWriter : public RowWriter {
public:
    OdbcRowWriter(std::shared_ptr<Handle> handle, std::string table, std::vector<std::string> bases,
                  std::vector<int> criteria, std::vector<std::vector<Value>> criteriaValues)
        : m_handle(std::move(handle)),
          m_table(std::move(table)),
          m_bases(std::move(bases)),
          m_criteria(std::move(criteria)),
          m_values(std::move(criteriaValues)) {}

    void writeRow(std::size_t row, const std::map<int, Value>& changes) override {
        if (!m_handle->dbc) {
            throw Error(errc::ObjectClosed, "Operation is not allowed when the object is closed.");
        }
        std::string sql = "UPDATE [" + m_table + "] SET ";
        std::vector<const Value*> parameters;
        bool first = true;
        for (const auto& [column, value] : changes) {
            if (m_bases[column].empty()) {
                throwComputedField(column);
            }
            sql += (first ? "[" : ", [") + m_bases[column] + "] = ?";
            parameters.push_back(&value);
            first = false;
        }
        // The fields written now do not locate the row (unless they are all there is): a
        // rolled-back transaction leaves the recordset showing values the table no longer holds.
        std::vector<std::size_t> locating;
        for (std::size_t k = 0; k < m_criteria.size(); ++k) {
            if (!changes.count(m_criteria[k])) {
                locating.push_back(k);
            }
        }
        if (locating.empty()) {
            for (std::size_t k = 0; k < m_criteria.size(); ++k) {
                locating.push_back(k);
            }
        }
        first = true;
        for (std::size_t k : locating) {
            const Value& old = m_values[row][k];
            sql += (first ? " WHERE [" : " AND [") + m_bases[m_criteria[k]] + "]" +
                   (old.isNull() ? " IS NULL" : " = ?");
            if (!old.isNull()) {
                parameters.push_back(&old);
            }
            first = false;
        }
        StatementHandle stmt(m_handle->dbc, m_handle->file);
        std::wstring wsql = utf8ToWide(sql);
        stmt.check(SQLPrepareW(stmt.get(), sqlw(wsql), SQL_NTS), "update of " + m_table);
        Parameters bound(stmt, parameters);
        stmt.check(SQLExecute(stmt.get()), "update of " + m_table);
        SQLLEN changed = 0;
        stmt.check(SQLRowCount(stmt.get(), &changed));
        if (changed == 0) {
            throwRowNotFound(m_table);
        }
        // A changed key locates the row from now on.
        for (std::size_t k = 0; k < m_criteria.size(); ++k) {
            if (auto c = changes.find(m_criteria[k]); c != changes.end()) {
                m_values[row][k] = c->second;
            }
        }
    }

private:
    // The values of an UPDATE's markers, bound for as long as it runs.
    class Parameters {
    public:
        Parameters(const StatementHandle& stmt, const std::vector<const Value*>& values) {
            m_texts.reserve(values.size());
            m_numbers.resize(values.size());
            m_indicators.resize(values.size());
            for (std::size_t i = 0; i < values.size(); ++i) {
                bind(stmt, static_cast<SQLUSMALLINT>(i + 1), *values[i], i);
            }
        }

    private:
        void bind(const StatementHandle& stmt, SQLUSMALLINT n, const Value& v, std::size_t i) {
            Number& number = m_numbers[i];
            SQLLEN& indicator = m_indicators[i];
            SQLRETURN rc;
            switch (v.kind()) {
                case Value::Kind::Null:
                    indicator = SQL_NULL_DATA;
                    rc = SQLBindParameter(stmt.get(), n, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                          1, 0, nullptr, 0, &indicator);
                    break;
                case Value::Kind::Boolean:
                    number.bit = v.asBoolean() ? 1 : 0;
                    rc = SQLBindParameter(stmt.get(), n, SQL_PARAM_INPUT, SQL_C_BIT, SQL_BIT, 1, 0,
                                          &number.bit, 0, nullptr);
                    break;
                case Value::Kind::Integer:
                    if (v.asInteger() >= INT32_MIN && v.asInteger() <= INT32_MAX) {
                        number.i = static_cast<SQLINTEGER>(v.asInteger());
                        rc = SQLBindParameter(stmt.get(), n, SQL_PARAM_INPUT, SQL_C_SLONG,
                                              SQL_INTEGER, 10, 0, &number.i, 0, nullptr);
                        break;
                    }
                    number.d = static_cast<double>(v.asInteger());
                    rc = SQLBindParameter(stmt.get(), n, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE,
                                          15, 0, &number.d, 0, nullptr);
                    break;
                case Value::Kind::Real:
                    number.d = v.asReal();
                    rc = SQLBindParameter(stmt.get(), n, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE,
                                          15, 0, &number.d, 0, nullptr);
                    break;
                case Value::Kind::Text:
                default: {
                    std::wstring& text = m_texts.emplace_back(utf8ToWide(v.asText()));
                    indicator = static_cast<SQLLEN>(text.size() * sizeof(wchar_t));
                    rc = SQLBindParameter(stmt.get(), n, SQL_PARAM_INPUT, SQL_C_WCHAR,
                                          text.size() > 255 ? SQL_WLONGVARCHAR : SQL_WVARCHAR,
                                          text.empty() ? 1 : text.size(), 0, sqlw(text), indicator,
                                          &indicator);
                    break;
                }
            }
            stmt.check(rc, "binding a value");
        }

        union Number {
            SQLINTEGER i;
            double d;
            unsigned char bit;
        };
        std::vector<std::wstring> m_texts;  // reserved: bound buffers never move
        std::vector<Number> m_numbers;
        std::vector<SQLLEN> m_indicators;
    };

    std::shared_ptr<Handle> m_handle;
    std::string m_table;
    std::vector<std::string> m_bases;          // base column of each field; empty when computed
    std::vector<int> m_criteria;               // the fields that locate a row
    std::vector<std::vector<Value>> m_values;  // per row, the criteria fields' values
};

// --- Connection -----------------------------------------------------------------------------

class OdbcConnection : public Connection {
public:
    ~OdbcConnection() override { close(); }

    void open(const std::string& connectionString) override {
        if (isOpen()) {
            throw Error(errc::ObjectOpen, "Operation is not allowed when the object is open.");
        }
        const std::filesystem::path file = databaseFileOf(connectionString);
        std::error_code ec;
        if (!std::filesystem::is_regular_file(file, ec)) {
            throw Error(errc::ProviderError, "Could not find file '" + file.string() + "'.");
        }
        auto attributes = connectionAttributes(connectionString);
        std::string driver = attributes.count("DRIVER") ? attributes["DRIVER"] : AccessDriver;
        if (const char* chosen = std::getenv("VELDON_ODBC_DRIVER"); chosen && *chosen) {
            driver = chosen;
        }
        const bool access = isAccessDriver(driver);
        std::string rest;  // the attributes after the driver's name
        if (access) {
            rest = "DBQ=" + braced(wideToUtf8(std::filesystem::absolute(file).wstring())) + ";";
            // The rest as the program wrote it (user, password); the OLE DB provider is no
            // attribute of ODBC.
            for (const auto& [name, value] : attributes) {
                if (name != "PROVIDER" && name != "DRIVER" && name != "DBQ" &&
                    name != "DEFAULTDIR") {
                    rest += name + "=" + braced(value) + ";";
                }
            }
        } else {
            // The SQLite driver reads no braced values: a ";" in the name would cut it short.
            const std::string path = driverPath(file);
            if (path.find(';') != std::string::npos) {
                throw Error(errc::ProviderError,
                            "The database file's name holds a \";\": '" + path + "'.");
            }
            rest = "Database=" + path + ";NoCreat=1;Timeout=" + std::to_string(BusyTimeoutMs) + ";";
        }

        m_connectError.reset();
        SQLHDBC dbc = connect(driver, rest, file);
        // The Jet driver the program names exists for 32-bit programs only; a 64-bit one reaches
        // the same files through the Access Database Engine's driver.
        if (!dbc && equalsIgnoringAsciiCase(driver, AccessDriver)) {
            dbc = connect(AccessEngineDriver, rest, file);
        }
        if (!dbc) {
            throw *m_connectError;
        }
        m_handle = std::make_shared<Handle>(Handle{dbc, file.string(), access});
        if (!access) {
            // A file that is no database fails here, at the open, as with Access.
            try {
                openRecordset("SELECT count(*) FROM sqlite_master", CursorType::ForwardOnly,
                              LockType::ReadOnly);
            } catch (const Error& e) {
                close();
                throw Error(e.number(), "cannot open the database: " + e.description());
            }
        }
    }

    bool isOpen() const override { return m_handle && m_handle->dbc; }

    void close() override {
        if (!isOpen()) {
            return;
        }
        if (m_inTransaction) {
            SQLEndTran(SQL_HANDLE_DBC, m_handle->dbc, SQL_ROLLBACK);
            m_inTransaction = false;
        }
        SQLDisconnect(m_handle->dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, m_handle->dbc);
        m_handle->dbc = SQL_NULL_HDBC;  // recordsets still holding the handle now refuse to write
        m_handle.reset();
        m_keys.clear();
    }

    long execute(const std::string& sql) override {
        requireOpen();
        StatementHandle stmt(m_handle->dbc, m_handle->file);
        std::wstring w = utf8ToWide(dialect(sql));
        stmt.check(SQLExecDirectW(stmt.get(), sqlw(w), SQL_NTS));
        SQLLEN changed = 0;
        if (!SQL_SUCCEEDED(SQLRowCount(stmt.get(), &changed)) || changed < 0) {
            changed = 0;
        }
        return static_cast<long>(changed);
    }

    void beginTrans() override {
        requireOpen();
        if (m_inTransaction) {
            throw Error(errc::ProviderError,
                        "A transaction is already open on this connection; nested transactions "
                        "are not supported.");
        }
        setAutocommit(false);
        m_inTransaction = true;
    }

    void commitTrans() override { endTransaction(SQL_COMMIT); }
    void rollbackTrans() override { endTransaction(SQL_ROLLBACK); }
    bool inTransaction() const override { return m_inTransaction; }

    std::unique_ptr<Recordset> openRecordset(const std::string& sql, CursorType,
                                             LockType lock) override {
        requireOpen();
        const std::string statement = dialect(sql);
        StatementHandle stmt(m_handle->dbc, m_handle->file);
        std::wstring w = utf8ToWide(statement);
        stmt.check(SQLExecDirectW(stmt.get(), sqlw(w), SQL_NTS));
        const std::vector<ColumnInfo> columns = describe(stmt);
        std::vector<std::string> names;
        for (const ColumnInfo& c : columns) {
            names.push_back(c.name);
        }
        auto recordset = std::make_unique<Recordset>(std::move(names));

        // ADO opens read-only unless asked otherwise.
        const bool wantUpdates = lock == LockType::Optimistic || lock == LockType::Pessimistic ||
                                 lock == LockType::BatchOptimistic;
        const std::string table = wantUpdates && jet::plainSelectInsertPoint(statement)
                                      ? singleBaseTable(columns)
                                      : std::string();
        std::vector<std::vector<Value>> rows;  // kept to locate rows when writing back
        SQLRETURN rc;
        while ((rc = SQLFetch(stmt.get())) == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) {
            std::vector<Value> row;
            for (std::size_t i = 0; i < columns.size(); ++i) {
                Value v = fetchValue(stmt, static_cast<SQLUSMALLINT>(i + 1), columns[i].type);
                recordset->addValue(v);
                if (!table.empty()) {
                    row.push_back(std::move(v));
                }
            }
            recordset->endRow();
            if (!table.empty()) {
                rows.push_back(std::move(row));
            }
        }
        stmt.check(rc, "reading the rows");
        SQLFreeStmt(stmt.get(), SQL_CLOSE);
        const std::vector<int> criteria =
            table.empty() ? std::vector<int>() : locatingColumns(table, columns);
        if (criteria.empty()) {
            recordset->finishLoading();
            return recordset;
        }
        std::vector<std::vector<Value>> criteriaValues;
        criteriaValues.reserve(rows.size());
        for (const auto& row : rows) {
            std::vector<Value> key;
            for (int c : criteria) {
                key.push_back(row[static_cast<std::size_t>(c)]);
            }
            criteriaValues.push_back(std::move(key));
        }
        std::vector<std::string> bases;
        for (const ColumnInfo& c : columns) {
            bases.push_back(equalsIgnoringAsciiCase(c.baseTable, table) ? c.baseColumn
                                                                        : std::string());
        }
        recordset->finishLoading(std::make_unique<OdbcRowWriter>(
            m_handle, table, std::move(bases), criteria, std::move(criteriaValues)));
        return recordset;
    }

    std::string fileName() const override { return isOpen() ? m_handle->file : std::string(); }

private:
    // A connection through `driver`; null when it fails, the first failure kept for the error.
    SQLHDBC connect(const std::string& driver, const std::string& rest,
                    const std::filesystem::path& file) {
        SQLHDBC dbc = SQL_NULL_HDBC;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, environment(), &dbc))) {
            throw odbcError(SQL_HANDLE_ENV, environment(), file.string(), "no connection handle");
        }
        std::wstring in = utf8ToWide("Driver=" + braced(driver) + ";" + rest);
        SQLWCHAR out[1024];
        SQLSMALLINT outLength = 0;
        const SQLRETURN rc = SQLDriverConnectW(dbc, nullptr, sqlw(in), SQL_NTS, out, 1024,
                                               &outLength, SQL_DRIVER_NOPROMPT);
        if (SQL_SUCCEEDED(rc)) {
            return dbc;
        }
        if (!m_connectError) {
            m_connectError = odbcError(SQL_HANDLE_DBC, dbc, file.string(),
                                       "cannot open the database with the driver " + driver);
        }
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        return SQL_NULL_HDBC;
    }

    std::string dialect(const std::string& sql) const {
        return m_handle->access ? sql : jet::toSqlite(sql, jet::SqliteFunctions::BuiltIn);
    }

    void requireOpen() const {
        if (!isOpen()) {
            throw Error(errc::ObjectClosed, "Operation is not allowed when the object is closed.");
        }
    }

    void setAutocommit(bool on) {
        const SQLRETURN rc = SQLSetConnectAttrW(
            m_handle->dbc, SQL_ATTR_AUTOCOMMIT,
            reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0);
        if (!SQL_SUCCEEDED(rc)) {
            throw odbcError(SQL_HANDLE_DBC, m_handle->dbc, m_handle->file,
                            on ? "cannot end the transaction" : "cannot begin a transaction");
        }
    }

    void endTransaction(SQLSMALLINT how) {
        requireOpen();
        if (!m_inTransaction) {
            throw Error(errc::NoTransaction,
                        "You tried to commit or rollback a transaction without first beginning "
                        "a transaction.");
        }
        m_inTransaction = false;
        const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, m_handle->dbc, how);
        if (!SQL_SUCCEEDED(rc)) {
            Error e = odbcError(SQL_HANDLE_DBC, m_handle->dbc, m_handle->file,
                                how == SQL_COMMIT ? "COMMIT" : "ROLLBACK");
            SQLEndTran(SQL_HANDLE_DBC, m_handle->dbc, SQL_ROLLBACK);
            setAutocommit(true);
            throw e;
        }
        setAutocommit(true);
    }

    // The one table all the recordset's base columns come from; empty when there is none.
    static std::string singleBaseTable(const std::vector<ColumnInfo>& columns) {
        std::string table;
        for (const ColumnInfo& c : columns) {
            if (c.baseTable.empty() || c.baseColumn.empty()) {
                continue;
            }
            if (!table.empty() && !equalsIgnoringAsciiCase(table, c.baseTable)) {
                return {};
            }
            table = c.baseTable;
        }
        return table;
    }

    // The fields that locate a row of `table`: the columns of its primary key, else of a unique
    // index, when the recordset reads them all; else every field read from the table.
    std::vector<int> locatingColumns(const std::string& table,
                                     const std::vector<ColumnInfo>& columns) {
        auto fieldOf = [&](const std::string& column) -> int {
            for (std::size_t i = 0; i < columns.size(); ++i) {
                if (columns[i].baseTable == table &&
                    equalsIgnoringAsciiCase(columns[i].baseColumn, column)) {
                    return static_cast<int>(i);
                }
            }
            return -1;
        };
        auto allRead = [&](const std::vector<std::string>& key) {
            std::vector<int> fields;
            for (const std::string& column : key) {
                const int f = fieldOf(column);
                if (f < 0) {
                    return std::vector<int>();
                }
                fields.push_back(f);
            }
            return fields;
        };
        for (const auto& key : keysOf(table)) {
            if (auto fields = allRead(key); !fields.empty()) {
                return fields;
            }
        }
        std::vector<int> fields;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const SQLSMALLINT t = columns[i].type;
            // Access compares no memo or binary column; SQLite's texts are all "long" to its
            // driver.
            const bool comparable =
                t != SQL_LONGVARBINARY && t != SQL_VARBINARY && t != SQL_BINARY &&
                !(m_handle->access && (t == SQL_LONGVARCHAR || t == SQL_WLONGVARCHAR));
            if (columns[i].baseTable == table && !columns[i].baseColumn.empty() && comparable) {
                fields.push_back(static_cast<int>(i));
            }
        }
        return fields;
    }

    // The primary key of `table`, then its unique indexes, each as its columns in order; asked of
    // the driver once per table while the connection is open.
    const std::vector<std::vector<std::string>>& keysOf(const std::string& table) {
        if (auto known = m_keys.find(table); known != m_keys.end()) {
            return known->second;
        }
        std::vector<std::vector<std::string>>& keys = m_keys[table];
        std::wstring name = utf8ToWide(table);
        {
            StatementHandle stmt(m_handle->dbc, m_handle->file);
            std::vector<std::string> key;
            if (SQL_SUCCEEDED(
                    SQLPrimaryKeysW(stmt.get(), nullptr, 0, nullptr, 0, sqlw(name), SQL_NTS))) {
                while (SQL_SUCCEEDED(SQLFetch(stmt.get()))) {
                    if (auto column = textData(stmt, 4)) {
                        key.push_back(wideToUtf8(*column));
                    }
                }
            }
            if (!key.empty()) {
                keys.push_back(std::move(key));
            }
        }
        StatementHandle stmt(m_handle->dbc, m_handle->file);
        if (SQL_SUCCEEDED(SQLStatisticsW(stmt.get(), nullptr, 0, nullptr, 0, sqlw(name), SQL_NTS,
                                         SQL_INDEX_UNIQUE, SQL_QUICK))) {
            std::map<std::string, std::vector<std::string>> indexes;
            while (SQL_SUCCEEDED(SQLFetch(stmt.get()))) {
                // Read in column order: drivers need not allow any other.
                auto nonUnique = textData(stmt, 4);
                auto index = textData(stmt, 6);
                auto column = textData(stmt, 9);
                if (index && column && nonUnique && (*nonUnique == L"0")) {
                    indexes[wideToUtf8(*index)].push_back(wideToUtf8(*column));
                }
            }
            for (auto& [index, columns] : indexes) {
                keys.push_back(std::move(columns));
            }
        }
        return keys;
    }

    std::shared_ptr<Handle> m_handle;
    bool m_inTransaction = false;
    std::optional<Error> m_connectError;
    std::map<std::string, std::vector<std::vector<std::string>>> m_keys;  // see keysOf
};

}  // namespace

std::unique_ptr<Connection> createOdbcConnection() {
    return std::make_unique<OdbcConnection>();
}

}  // namespace veldon
