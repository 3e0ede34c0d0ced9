// The central store on a MariaDB server (MariaDB Connector/C, prepared statements only): the same
// tables, keys, duplicate rules and replies as the SQLite store, for a head office that keeps its
// data on its own server and may run several veldon-central processes on one database.
//
// Every call is one InnoDB transaction on a connection of a pool, committed before the call
// returns; the server must make each commit durable (innodb_flush_log_at_trx_commit = 1: the store
// refuses to open otherwise). Sales, the bulk of the load, are also batched: up to four callers
// at a time write, each the sales waiting when it starts (its own first) in one transaction, so
// that a batch's headers go in one INSERT and the lines, accounting rows and other children of
// all its sales in one INSERT per table; the others wait for their batch's commit. The four
// writers' commits overlap, and InnoDB's group commit shares the log flushes among them and the
// card batches and other calls on the other connections, and among processes on one server.
// Measured with bench_central (64 clients, a restaurant sale per call, the service in the same
// process, 2 shared cores, other builds beside): one transaction per sale on a pool gave 36 % of
// the SQLite store's rate in the same run; batches with two writers 41 to 56 %, four 46 to 60 %,
// six or eight less (their round trips only share the same two cores). Waking only a batch's own
// callers and the next writer at its end, rather than every waiting caller, gave 3,832 sales/s
// on a quiet machine, 51 % (46 % in the next run), p99 32 ms. A batch is some five sales at that
// load; a lone caller writes its sale alone.
//
// Ids come from AUTO_INCREMENT, so that processes sharing the database never hand out the same
// one; the rows of one multi-row INSERT get consecutive ids (innodb_autoinc_lock_mode 0 or 1,
// auto_increment_increment apart), else headers go one by one. A duplicate is what the server's
// unique keys say (ER_DUP_ENTRY), which also holds between processes: the second of two uploads
// of one sale waits for the first one's commit and then finds its key. A batch whose headers
// meet a key held already inserts them again one by one, and a batch the server refuses for any
// other reason is written again upload by upload, so that one upload never fails another.
// Deleted lines, which have no key, are counted and stored under a lock of their store's RCT
// row, so that two batches of one store never count at once. Deadlocks and lock wait timeouts
// roll the transaction back and run it again, as does a lost connection (the keys turn an upload
// that did commit into a duplicate's answer, never into a second copy). A duplicate's answer
// writes its UPLOAD_EVENT row, whose commit also flushes the log past the sale it repeats.
//
// Key columns compare as the SQLite store's do: byte for byte, trailing blanks included
// (utf8mb4_nopad_bin). Reads run at READ COMMITTED, except the counts of all tables and the
// head-office figures, which each read one snapshot.
#include "central/mariadbstore.h"

#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "central/storerules.h"
#include "platform/clock.h"
#include "platform/error.h"

namespace veldon::central {
namespace {

using namespace rules;

constexpr int SchemaVersion = 3;
// Connections one store opens at most; callers beyond wait for one to come free. The service
// answers 16 calls at once by default. Each connection keeps up to some 200 prepared statements
// (an INSERT per row count), so that a few processes stay well within the server's
// max_prepared_stmt_count (16,382 by default).
constexpr std::size_t PoolSize = 16;
// Tries of one upload that meets a deadlock or a lock wait timeout, or loses its connection.
constexpr int Attempts = 10;
// Rows of a table one INSERT carries: one round trip for the lines of a few sales.
constexpr std::size_t RowsPerInsert = 32;
// Sales written at once, each batch in one transaction on a connection of its own, and the most
// sales one batch takes.
constexpr std::size_t SaleWriters = 4;
constexpr std::size_t SalesPerBatch = 64;
// Sale headers one INSERT carries.
constexpr std::size_t HeadersPerInsert = 16;

const char* const TableOptions = " ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin";

using Row = std::vector<std::optional<std::string>>;

struct MariadbFailure {
    unsigned code;
    std::string message;
};

bool retryable(unsigned code) {
    return code == ER_LOCK_DEADLOCK || code == ER_LOCK_WAIT_TIMEOUT || code == CR_SERVER_LOST ||
           code == CR_SERVER_GONE_ERROR;
}

// The start of a statement, enough to tell which one failed.
std::string brief(const std::string& sql) {
    return sql.size() <= 60 ? sql : sql.substr(0, 60) + "...";
}

class Statement {
public:
    Statement(MYSQL* db, const std::string& sql) : m_sql(brief(sql)) {
        m_stmt = mysql_stmt_init(db);
        if (!m_stmt) {
            throw MariadbFailure{mysql_errno(db), "out of memory preparing " + m_sql};
        }
        if (mysql_stmt_prepare(m_stmt, sql.data(), sql.size()) != 0) {
            MariadbFailure f = failure("prepare ");
            mysql_stmt_close(m_stmt);
            throw f;
        }
        const std::size_t n = mysql_stmt_param_count(m_stmt);
        m_binds.assign(n, MYSQL_BIND{});
        m_lengths.assign(n, 0);
        m_integers.assign(n, 0);
        m_reals.assign(n, 0);
    }
    ~Statement() { mysql_stmt_close(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Parameters count from 0. The text must live until the statement has run.
    void text(std::size_t i, std::string_view value) {
        MYSQL_BIND& b = m_binds.at(i);
        b = MYSQL_BIND{};
        b.buffer_type = MYSQL_TYPE_STRING;
        // A buffer of nullptr would be sent as NULL, not as an empty text.
        b.buffer = const_cast<char*>(value.data() ? value.data() : "");
        b.buffer_length = value.size();
        m_lengths[i] = value.size();
        b.length = &m_lengths[i];
    }
    void null(std::size_t i) {
        m_binds.at(i) = MYSQL_BIND{};
        m_binds[i].buffer_type = MYSQL_TYPE_NULL;
    }
    void integer(std::size_t i, long long value) {
        MYSQL_BIND& b = m_binds.at(i);
        b = MYSQL_BIND{};
        m_integers[i] = value;
        b.buffer_type = MYSQL_TYPE_LONGLONG;
        b.buffer = &m_integers[i];
    }
    void real(std::size_t i, double value) {
        MYSQL_BIND& b = m_binds.at(i);
        b = MYSQL_BIND{};
        m_reals[i] = value;
        b.buffer_type = MYSQL_TYPE_DOUBLE;
        b.buffer = &m_reals[i];
    }
    void texts(std::initializer_list<std::string_view> values) {
        std::size_t i = 0;
        for (std::string_view value : values) {
            text(i++, value);
        }
    }

    // Slots as text, and NULL for the columns beyond the slots sent, so that "not sent" and
    // "sent empty" stay apart.
    void slots(std::size_t first, const std::vector<std::string>& values, std::size_t columns) {
        for (std::size_t slot = 0; slot < columns; ++slot) {
            if (slot < values.size()) {
                text(first + slot, values[slot]);
            } else {
                null(first + slot);
            }
        }
    }
    void slots(std::size_t first, const TextTable& table, std::size_t row, std::size_t columns) {
        for (std::size_t slot = 0; slot < columns; ++slot) {
            if (slot < table.slots()) {
                text(first + slot, table(row, slot));
            } else {
                null(first + slot);
            }
        }
    }

    // Runs a statement that returns no rows. False when it broke a unique key and
    // `uniqueIsDuplicate`; any other failure raises.
    bool run(bool uniqueIsDuplicate = false) {
        if (execute() != 0) {
            if (uniqueIsDuplicate && mysql_stmt_errno(m_stmt) == ER_DUP_ENTRY) {
                return false;
            }
            throw failure("");
        }
        return true;
    }
    // Rows matched (the connections report found rows, not changed ones) or inserted.
    unsigned long long affectedRows() { return mysql_stmt_affected_rows(m_stmt); }
    unsigned long long insertId() { return mysql_stmt_insert_id(m_stmt); }

    // Runs a query and returns its rows as texts.
    std::vector<Row> rows() {
        if (execute() != 0) {
            throw failure("");
        }
        std::vector<Row> rows;
        MYSQL_RES* meta = mysql_stmt_result_metadata(m_stmt);
        if (!meta) {
            return rows;
        }
        const unsigned columns = mysql_num_fields(meta);
        mysql_free_result(meta);
        std::vector<MYSQL_BIND> binds(columns, MYSQL_BIND{});
        std::vector<std::string> buffers(columns, std::string(256, '\0'));
        std::vector<unsigned long> lengths(columns, 0);
        std::vector<my_bool> nulls(columns, 0);
        for (unsigned c = 0; c < columns; ++c) {
            binds[c].buffer_type = MYSQL_TYPE_STRING;
            binds[c].buffer = buffers[c].data();
            binds[c].buffer_length = buffers[c].size();
            binds[c].length = &lengths[c];
            binds[c].is_null = &nulls[c];
        }
        if (mysql_stmt_bind_result(m_stmt, binds.data()) != 0) {
            MariadbFailure f = failure("");
            mysql_stmt_free_result(m_stmt);
            throw f;
        }
        for (;;) {
            const int rc = mysql_stmt_fetch(m_stmt);
            if (rc == MYSQL_NO_DATA) {
                break;
            }
            if (rc == 1) {
                MariadbFailure f = failure("");
                mysql_stmt_free_result(m_stmt);
                throw f;
            }
            Row& row = rows.emplace_back();
            for (unsigned c = 0; c < columns; ++c) {
                if (nulls[c]) {
                    row.emplace_back();
                    continue;
                }
                if (lengths[c] <= buffers[c].size()) {
                    row.emplace_back(buffers[c].substr(0, lengths[c]));
                    continue;
                }
                // Longer than the buffer: fetch the whole value.
                std::string whole(lengths[c], '\0');
                MYSQL_BIND b{};
                b.buffer_type = MYSQL_TYPE_STRING;
                b.buffer = whole.data();
                b.buffer_length = whole.size();
                if (mysql_stmt_fetch_column(m_stmt, &b, c, 0) != 0) {
                    MariadbFailure f = failure("");
                    mysql_stmt_free_result(m_stmt);
                    throw f;
                }
                row.emplace_back(std::move(whole));
            }
        }
        mysql_stmt_free_result(m_stmt);
        return rows;
    }

private:
    int execute() {
        if (!m_binds.empty() && mysql_stmt_bind_param(m_stmt, m_binds.data()) != 0) {
            return 1;
        }
        return mysql_stmt_execute(m_stmt);
    }
    MariadbFailure failure(const std::string& what) const {
        return {mysql_stmt_errno(m_stmt), what + m_sql + ": " + mysql_stmt_error(m_stmt) +
                                              " (MariaDB error " +
                                              std::to_string(mysql_stmt_errno(m_stmt)) + ")"};
    }

    std::string m_sql;
    MYSQL_STMT* m_stmt = nullptr;
    std::vector<MYSQL_BIND> m_binds;
    std::vector<unsigned long> m_lengths;
    std::vector<long long> m_integers;
    std::vector<double> m_reals;
};

// One connection with the statements prepared on it.
class Connection {
public:
    // Without `withDatabase` the connection names no database (it may not exist yet).
    Connection(const MariadbTarget& target, bool withDatabase) {
        m_db = mysql_init(nullptr);
        if (!m_db) {
            throw MariadbFailure{CR_OUT_OF_MEMORY, "out of memory"};
        }
        const unsigned connectSeconds = 10, callSeconds = 120;
        mysql_options(m_db, MYSQL_SET_CHARSET_NAME, "utf8mb4");
        mysql_options(m_db, MYSQL_OPT_CONNECT_TIMEOUT, &connectSeconds);
        mysql_options(m_db, MYSQL_OPT_READ_TIMEOUT, &callSeconds);
        mysql_options(m_db, MYSQL_OPT_WRITE_TIMEOUT, &callSeconds);
        mysql_options(m_db, MYSQL_INIT_COMMAND,
                      "SET SESSION TRANSACTION ISOLATION LEVEL READ COMMITTED");
        if (!mysql_real_connect(m_db, target.host.c_str(), target.user.c_str(),
                                target.password.c_str(),
                                withDatabase ? target.database.c_str() : nullptr,
                                static_cast<unsigned>(target.port), nullptr, CLIENT_FOUND_ROWS)) {
            MariadbFailure f{mysql_errno(m_db), std::string("cannot connect: ") +
                                                    mysql_error(m_db) + " (MariaDB error " +
                                                    std::to_string(mysql_errno(m_db)) + ")"};
            mysql_close(m_db);
            throw f;
        }
        if (mysql_autocommit(m_db, 0) != 0) {
            MariadbFailure f = failure("autocommit off");
            mysql_close(m_db);
            throw f;
        }
    }
    ~Connection() {
        m_statements.clear();
        mysql_close(m_db);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The statement of `sql`, prepared on first use.
    Statement& statement(const std::string& sql) {
        auto found = m_statements.find(sql);
        if (found == m_statements.end()) {
            found = m_statements.emplace(sql, std::make_unique<Statement>(m_db, sql)).first;
        }
        return *found->second;
    }
    // A statement of fixed text, without values.
    void exec(const std::string& sql) {
        if (mysql_real_query(m_db, sql.data(), sql.size()) != 0) {
            throw failure(brief(sql));
        }
        if (MYSQL_RES* result = mysql_store_result(m_db)) {
            mysql_free_result(result);
        }
    }
    void selectDatabase(const std::string& database) {
        if (mysql_select_db(m_db, database.c_str()) != 0) {
            throw failure("use " + database);
        }
    }
    void commit() {
        if (mysql_commit(m_db) != 0) {
            throw failure("commit");
        }
    }
    // Undoes the transaction; false when even that failed (the connection is then dropped).
    bool rollback() noexcept { return mysql_rollback(m_db) == 0; }

private:
    MariadbFailure failure(const std::string& what) const {
        return {mysql_errno(m_db), what + ": " + mysql_error(m_db) + " (MariaDB error " +
                                       std::to_string(mysql_errno(m_db)) + ")"};
    }

    MYSQL* m_db = nullptr;
    std::map<std::string, std::unique_ptr<Statement>> m_statements;
};

// Connections opened on demand up to PoolSize and kept while they work.
class Pool {
public:
    explicit Pool(MariadbTarget target) : m_target(std::move(target)) {}

    class Lease {
    public:
        Lease(Pool& pool, std::unique_ptr<Connection> c) : m_pool(pool), m_c(std::move(c)) {}
        ~Lease() { m_pool.giveBack(std::move(m_c)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Connection& operator*() { return *m_c; }
        Connection* operator->() { return m_c.get(); }
        void discard() { m_c.reset(); }

    private:
        Pool& m_pool;
        std::unique_ptr<Connection> m_c;
    };

    Lease lease() {
        std::unique_lock lock(m_mutex);
        m_freed.wait(lock, [this] { return !m_idle.empty() || m_open < PoolSize; });
        if (!m_idle.empty()) {
            std::unique_ptr<Connection> c = std::move(m_idle.back());
            m_idle.pop_back();
            return Lease(*this, std::move(c));
        }
        ++m_open;
        lock.unlock();
        try {
            return Lease(*this, std::make_unique<Connection>(m_target, true));
        } catch (...) {
            giveBack(nullptr);
            throw;
        }
    }
    void add(std::unique_ptr<Connection> c) {
        std::lock_guard lock(m_mutex);
        ++m_open;
        m_idle.push_back(std::move(c));
    }

private:
    void giveBack(std::unique_ptr<Connection> c) {
        std::lock_guard lock(m_mutex);
        if (c) {
            m_idle.push_back(std::move(c));
        } else {
            --m_open;
        }
        m_freed.notify_one();
    }

    const MariadbTarget m_target;
    std::mutex m_mutex;
    std::condition_variable m_freed;
    std::vector<std::unique_ptr<Connection>> m_idle;
    std::size_t m_open = 0;
};

std::string tableDdl(const std::string& body) {
    return "CREATE TABLE IF NOT EXISTS " + body + TableOptions;
}

// Schema version 2 of the SQLite store, with ids from AUTO_INCREMENT and the TEXT column of an
// index given a prefix length.
std::vector<std::string> schemaDdl() {
    const std::string key = " VARCHAR(" + std::to_string(MaxKeyChars) + ")";
    const std::string id = " BIGINT NOT NULL AUTO_INCREMENT";
    return {
        tableDdl("SCHEMA_VERSION (VERSION INTEGER NOT NULL)"),
        tableDdl("RCT (RCT_CODE" + key + " NOT NULL, RCT_NAME TEXT, PRIMARY KEY (RCT_CODE))"),
        tableDdl("HCT (HCT_CODE" + key + " NOT NULL, RCT_CODE" + key +
                 " NOT NULL, HCT_NAME TEXT, PRIMARY KEY (HCT_CODE, RCT_CODE))"),
        tableDdl("POS (POS_ID" + key + " NOT NULL, RCT_CODE" + key +
                 " NOT NULL, POS_NAME TEXT, VELDON_VER TEXT, VELDON_VER_SDATE VARCHAR(19), "
                 "PRIMARY KEY (POS_ID, RCT_CODE))"),
        tableDdl("DELPSS13 (DEL_ID" + id +
                 ", DEL_DATE TEXT, PR_BCODE TEXT, PR_NAME TEXT, PR_UNIT TEXT, PR_UP DECIMAL(19,4), "
                 "PR_QTY DECIMAL(19,4), PR_AMT DECIMAL(19,4), POS_ID" +
                 key + ", RCT_CODE" + key +
                 ", PRIMARY KEY (DEL_ID), INDEX DELPSS13_LINE (RCT_CODE, POS_ID, DEL_DATE(32)))"),
        // DUP_KIND 'K': DUP_KEY1 is the sale key; 'C' (no sale key): counter id and TPE slot 0.
        tableDdl("SALE_HDR (SALE_ID" + id + ", RCT_CODE" + key +
                 " NOT NULL, DUP_KIND CHAR(1) NOT NULL, DUP_KEY1" + key + " NOT NULL, DUP_KEY2" +
                 key + " NOT NULL, SALE_KEY" + key +
                 " NOT NULL, METHOD TEXT NOT NULL, MARK_Y CHAR(1) NOT NULL, "
                 "RECEIVED_AT VARCHAR(19) NOT NULL, CONTENT_DIGEST VARCHAR(16)" +
                 slotColumnsDdl("TPE", TpeColumns) +
                 ", PRIMARY KEY (SALE_ID), "
                 "CONSTRAINT SALE_HDR_DUP UNIQUE (RCT_CODE, DUP_KIND, DUP_KEY1, DUP_KEY2))"),
        tableDdl("SALE_RT (SALE_ID BIGINT NOT NULL" + slotColumnsDdl("TRT", TrtColumns) +
                 ", PRIMARY KEY (SALE_ID))"),
        tableDdl("SALE_LINE (SALE_ID BIGINT NOT NULL, ROW_NO INTEGER NOT NULL" +
                 slotColumnsDdl("TPS", TpsColumns) + ", PRIMARY KEY (SALE_ID, ROW_NO))"),
        tableDdl("SALE_AC (SALE_ID BIGINT NOT NULL, ROW_NO INTEGER NOT NULL" +
                 slotColumnsDdl("TAC", TacColumns) + ", PRIMARY KEY (SALE_ID, ROW_NO))"),
        tableDdl("SALE_GUEST (SALE_ID BIGINT NOT NULL, ROW_NO INTEGER NOT NULL" +
                 slotColumnsDdl("TPSN", TpsnColumns) + ", PRIMARY KEY (SALE_ID, ROW_NO))"),
        tableDdl("SALE_DLV (SALE_ID BIGINT NOT NULL" + slotColumnsDdl("TDLV", TdlvColumns) +
                 ", PRIMARY KEY (SALE_ID))"),
        tableDdl("CARD_APR (CARD_ID" + id + ", RCT_CODE" + key +
                 " NOT NULL, RECEIVED_AT VARCHAR(19) NOT NULL, CONTENT_DIGEST VARCHAR(16)" +
                 slotColumnsDdl("TCD", TcdColumns, {0, 2, 12}) +
                 ", PRIMARY KEY (CARD_ID), "
                 "CONSTRAINT CARD_APR_DUP UNIQUE (RCT_CODE, TCD_00, TCD_02, TCD_12))"),
        tableDdl("CONFLICT (CONFLICT_ID" + id +
                 ", KIND VARCHAR(8) NOT NULL, RCT_CODE VARCHAR(100) NOT NULL, UPLOAD_KEY TEXT NOT "
                 "NULL, HELD_DIGEST VARCHAR(16) NOT NULL, SENT_DIGEST VARCHAR(16) NOT NULL, "
                 "RECEIVED_AT VARCHAR(19) NOT NULL, CLIENT TEXT, PRIMARY KEY (CONFLICT_ID))"),
    };
}

// What schema version 3 added: the uploads answered as duplicates or refused (KIND 'D' or 'R') for
// the head-office page, and the indexes that page reads each store's recent rows through.
std::vector<std::string> activityDdl() {
    return {
        tableDdl("UPLOAD_EVENT (EVENT_ID BIGINT NOT NULL AUTO_INCREMENT, RCT_CODE VARCHAR(100) NOT "
                 "NULL, KIND CHAR(1) NOT NULL, RECEIVED_AT VARCHAR(19) NOT NULL, PRIMARY KEY "
                 "(EVENT_ID), INDEX UPLOAD_EVENT_STORE (RCT_CODE, RECEIVED_AT))"),
        "CREATE INDEX IF NOT EXISTS SALE_HDR_RECEIVED ON SALE_HDR (RCT_CODE, RECEIVED_AT)",
        "CREATE INDEX IF NOT EXISTS CARD_APR_RECEIVED ON CARD_APR (RCT_CODE, RECEIVED_AT)",
    };
}

// The statements of the store, built once.
struct Sql {
    std::string findStore = "SELECT 1 FROM RCT WHERE RCT_CODE = ?";
    std::string lockStore = "SELECT 1 FROM RCT WHERE RCT_CODE = ? FOR UPDATE";
    std::string heldSaleDigest =
        "SELECT CONTENT_DIGEST FROM SALE_HDR WHERE RCT_CODE = ? AND DUP_KIND = ? AND DUP_KEY1 = ? "
        "AND DUP_KEY2 = ?";
    std::string heldCardDigest =
        "SELECT CONTENT_DIGEST FROM CARD_APR WHERE RCT_CODE = ? AND TCD_00 = ? AND TCD_02 = ? AND "
        "TCD_12 = ?";
    std::string insertEvent =
        "INSERT INTO UPLOAD_EVENT (RCT_CODE, KIND, RECEIVED_AT) VALUES (?, ?, ?)";
    std::string insertConflict =
        "INSERT INTO CONFLICT (KIND, RCT_CODE, UPLOAD_KEY, HELD_DIGEST, SENT_DIGEST, RECEIVED_AT, "
        "CLIENT) VALUES (?, ?, ?, ?, ?, ?, ?)";
    std::string insertCard = "INSERT INTO CARD_APR (RCT_CODE, RECEIVED_AT, CONTENT_DIGEST" +
                             slotColumnsList("TCD", TcdColumns) + ") VALUES ";
    std::string cardRow = "(" + placeholders(3 + TcdColumns) + ")";
    std::string insertDeleted =
        "INSERT INTO DELPSS13 (DEL_DATE, PR_BCODE, PR_NAME, PR_UNIT, PR_UP, PR_QTY, PR_AMT, "
        "POS_ID, RCT_CODE) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)";
    std::string countDeleted =
        "SELECT COUNT(*) FROM DELPSS13 WHERE RCT_CODE = ? AND POS_ID = ? AND DEL_DATE = ? AND "
        "PR_BCODE = ? AND PR_NAME = ? AND PR_UNIT = ? AND PR_UP = ? AND PR_QTY = ? AND PR_AMT = ?";
    std::string updateVersion =
        "UPDATE POS SET VELDON_VER = ?, VELDON_VER_SDATE = ? WHERE POS_ID = ? AND RCT_CODE = ?";
    std::string putStore =
        "INSERT INTO RCT (RCT_CODE, RCT_NAME) VALUES (?, ?) "
        "ON DUPLICATE KEY UPDATE RCT_NAME = VALUES(RCT_NAME)";
    std::string putDepot =
        "INSERT INTO HCT (HCT_CODE, RCT_CODE, HCT_NAME) VALUES (?, ?, ?) "
        "ON DUPLICATE KEY UPDATE HCT_NAME = VALUES(HCT_NAME)";
    std::string putCounter =
        "INSERT INTO POS (POS_ID, RCT_CODE, POS_NAME) VALUES (?, ?, ?) "
        "ON DUPLICATE KEY UPDATE POS_NAME = VALUES(POS_NAME)";
    std::string storeName = "SELECT RCT_NAME FROM RCT WHERE RCT_CODE = ?";
    std::string depotName = "SELECT HCT_NAME FROM HCT WHERE HCT_CODE = ? AND RCT_CODE = ?";
    std::string counterName = "SELECT POS_NAME FROM POS WHERE POS_ID = ? AND RCT_CODE = ?";

    // The INSERT of `rows` sale headers.
    static std::string headerInsert(std::size_t rows) {
        std::string sql =
            "INSERT INTO SALE_HDR (RCT_CODE, DUP_KIND, DUP_KEY1, DUP_KEY2, SALE_KEY, METHOD, "
            "MARK_Y, RECEIVED_AT, CONTENT_DIGEST" +
            slotColumnsList("TPE", TpeColumns) + ") VALUES ";
        const std::string row = "(" + placeholders(9 + TpeColumns) + ")";
        for (std::size_t r = 0; r < rows; ++r) {
            sql += (r == 0 ? "" : ", ") + row;
        }
        return sql;
    }

    // "INSERT INTO SALE_LINE (SALE_ID, ROW_NO, TPS_00, ...) VALUES (...), (...)" for `rows` rows;
    // without ROW_NO unless `numbered`.
    static std::string childInsert(const char* table, const char* array, std::size_t columns,
                                   bool numbered, std::size_t rows) {
        std::string sql = std::string("INSERT INTO ") + table + " (SALE_ID" +
                          (numbered ? ", ROW_NO" : "") + slotColumnsList(array, columns) +
                          ") VALUES ";
        const std::string row = "(" + placeholders((numbered ? 2 : 1) + columns) + ")";
        for (std::size_t r = 0; r < rows; ++r) {
            sql += (r == 0 ? "" : ", ") + row;
        }
        return sql;
    }
};

long number(const std::optional<std::string>& text) {
    return text ? std::stol(*text) : 0;
}

// A sale waiting for the batch that writes it; it lives on the caller's stack.
struct SaleJob {
    explicit SaleJob(const SaleUpload* upload) : sale(upload) {}
    const SaleUpload* sale;
    StoreReply reply;
    std::string error;  // not empty: the caller raises it
    bool queued = true;
    bool done = false;
    // Told when the job is answered or may become a writer; waits under the store's queue mutex.
    std::condition_variable wake;
};

// A row of a sale's child table: an array (`elements`) or a row of a table.
struct ChildRow {
    long long saleId;
    std::size_t row;
    const TextTable* table;
    const std::vector<std::string>* elements;
};

class MariadbStore : public CentralStore {
public:
    explicit MariadbStore(const MariadbTarget& target);

    StoreReply putSale(const SaleUpload& sale) override;
    StoreReply putCards(const TextTable& TCD, const std::string& client) override;
    StoreReply putDeletedLines(const std::vector<DeletedLine>& lines) override;
    StoreReply reportVersion(const std::string& version, const std::string& posId,
                             const std::string& storeCode) override;

    std::optional<std::string> storeName(const std::string& storeCode) override;
    std::optional<std::string> depotName(const std::string& depotCode,
                                         const std::string& storeCode) override;
    std::optional<std::string> counterName(const std::string& posId,
                                           const std::string& storeCode) override;

    void addShop(const Shop& shop) override;
    std::vector<std::pair<std::string, long>> tableCounts() override;
    std::vector<std::pair<std::string, long>> storeCounts(const std::string& storeCode) override;
    std::vector<ShopActivity> shopActivity(const std::string& today, int days) override;

private:
    // A refusal before the database, noted for its store when the store is registered.
    StoreReply refusedUpload(const std::string* storeCode, StoreReply reply);
    void noteEvent(Connection& c, const std::string& storeCode, char kind, const std::string& now);
    void createOrCheckSchema(Connection& c, const std::string& name);
    // Runs `work` in a transaction on a pooled connection and commits; runs it again after a
    // deadlock, a lock wait timeout or a lost connection. `work` may roll back itself.
    template <class Work>
    void transact(const std::string& what, Work&& work);
    bool storeKnown(Connection& c, const std::string& storeCode);
    // Writes a batch of sales, each accepted, a duplicate or refused, in the transaction of `c`.
    void writeSales(Connection& c, const std::vector<SaleJob*>& batch);
    // Writes a batch and answers its jobs; a batch that fails is written again upload by upload.
    void storeSales(const std::vector<SaleJob*>& batch) noexcept;
    void insertChildren(Connection& c, const char* table, const char* array, std::size_t columns,
                        bool numbered, const std::vector<ChildRow>& rows);
    // Inserts card rows [first, end) in one statement; false when one of them is held already.
    bool insertCards(Connection& c, const TextTable& TCD, std::size_t first, std::size_t end,
                     const std::string& now);
    void recordConflict(Connection& c, const char* kind, const std::string& store,
                        const std::string& key, const std::string& held, const std::string& sent,
                        const std::string& now, const std::string& client);
    std::optional<std::string> lookUp(const std::string& sql,
                                      std::initializer_list<std::string_view> keys);

    const std::string m_name;  // the address, for error texts
    const Sql m_sql;
    Pool m_pool;
    SystemClock m_clock;
    // Stores found in RCT: never removed, so once found they need no look-up again.
    std::mutex m_knownMutex;
    std::set<std::string, std::less<>> m_knownStores;
    // The step between the ids of the rows one INSERT adds (auto_increment_increment); 0 when the
    // server may interleave them with other inserts' (innodb_autoinc_lock_mode 2).
    long long m_idStep = 0;

    // Sales waiting for a writer, and how many write.
    std::mutex m_queueMutex;
    std::deque<SaleJob*> m_queue;
    std::size_t m_writers = 0;
};

MariadbStore::MariadbStore(const MariadbTarget& target)
    : m_name(describeTarget(target)), m_pool(target) {
    try {
        auto c = std::make_unique<Connection>(target, false);
        createOrCheckSchema(*c, target.database);
        m_pool.add(std::move(c));
    } catch (const MariadbFailure& f) {
        throw Error(errc::ProviderError, "central store " + m_name + ": cannot open: " + f.message);
    }
}

void MariadbStore::createOrCheckSchema(Connection& c, const std::string& name) {
    auto one = [&](const std::string& sql, std::initializer_list<std::string_view> values) {
        Statement& s = c.statement(sql);
        s.texts(values);
        std::vector<Row> rows = s.rows();
        return rows.empty() || rows[0].empty() ? std::optional<std::string>() : rows[0][0];
    };
    const std::optional<std::string> flush =
        one("SELECT @@GLOBAL.innodb_flush_log_at_trx_commit", {});
    if (flush != "1") {
        throw MariadbFailure{0,
                             "the server does not flush its log at every commit "
                             "(innodb_flush_log_at_trx_commit is " +
                                 flush.value_or("unknown") +
                                 ", must be 1): an accepted upload could be lost"};
    }
    const std::optional<std::string> lockMode = one("SELECT @@GLOBAL.innodb_autoinc_lock_mode", {});
    const std::optional<std::string> step = one("SELECT @@auto_increment_increment", {});
    m_idStep = lockMode != "2" && step ? std::stoll(*step) : 0;
    // The name is checked to be letters, digits, '_' and '$' (parseMariadbTarget).
    c.exec("CREATE DATABASE IF NOT EXISTS `" + name +
           "` CHARACTER SET utf8mb4 COLLATE utf8mb4_nopad_bin");
    c.selectDatabase(name);
    c.commit();
    // Processes opening one database at once set it up one at a time.
    const std::string lockName = "veldon-central schema " + name;
    if (one("SELECT GET_LOCK(?, 60)", {lockName}) != "1") {
        throw MariadbFailure{0, "another process kept the schema lock for 60 s"};
    }
    try {
        bool hasVersion = false, hasOthers = false;
        for (const Row& row : c.statement("SELECT TABLE_NAME FROM information_schema.TABLES "
                                          "WHERE TABLE_SCHEMA = DATABASE()")
                                  .rows()) {
            (row.at(0) == "SCHEMA_VERSION" ? hasVersion : hasOthers) = true;
        }
        // Never spread our tables over some other program's database.
        if (!hasVersion && hasOthers) {
            throw MariadbFailure{0,
                                 "the database holds other tables and no SCHEMA_VERSION: not a "
                                 "central store"};
        }
        auto setVersion = [&](int version) {
            Statement& insert = c.statement("INSERT INTO SCHEMA_VERSION (VERSION) VALUES (?)");
            insert.integer(0, version);
            insert.run();
            c.commit();
        };
        std::optional<std::string> found;
        if (hasVersion) {
            found = one("SELECT MAX(VERSION) FROM SCHEMA_VERSION", {});
        }
        if (!found) {
            // New, or a set-up that stopped midway (each CREATE commits at once): the version
            // row comes last.
            for (const std::string& ddl : schemaDdl()) {
                c.exec(ddl);
            }
            for (const std::string& ddl : activityDdl()) {
                c.exec(ddl);
            }
            setVersion(SchemaVersion);
        } else if (std::stol(*found) > SchemaVersion) {
            throw MariadbFailure{0, "schema version " + *found + " is newer than this program's " +
                                        std::to_string(SchemaVersion)};
        } else if (std::stol(*found) < 2) {
            throw MariadbFailure{
                0, "schema version " + *found + " is older than any this program made on MariaDB"};
        } else if (std::stol(*found) < 3) {
            for (const std::string& ddl : activityDdl()) {
                c.exec(ddl);
            }
            setVersion(3);
        }
        one("SELECT RELEASE_LOCK(?)", {lockName});
        c.commit();
    } catch (...) {
        // The lock also ends with the connection, which the caller closes.
        c.rollback();
        throw;
    }
}

template <class Work>
void MariadbStore::transact(const std::string& what, Work&& work) {
    for (int attempt = 1;; ++attempt) {
        auto c = m_pool.lease();
        try {
            work(*c);
            c->commit();
            return;
        } catch (const MariadbFailure& f) {
            if (!c->rollback()) {
                c.discard();
            }
            if (!retryable(f.code) || attempt == Attempts) {
                throw Error(errc::ProviderError,
                            "central store " + m_name + ": " + what + ": " + f.message);
            }
        }
        // Let the other transaction of a deadlock finish first.
        std::this_thread::sleep_for(std::chrono::milliseconds(attempt));
    }
}

bool MariadbStore::storeKnown(Connection& c, const std::string& storeCode) {
    {
        std::lock_guard lock(m_knownMutex);
        if (m_knownStores.contains(storeCode)) {
            return true;
        }
    }
    Statement& find = c.statement(m_sql.findStore);
    find.text(0, storeCode);
    if (find.rows().empty()) {
        return false;
    }
    std::lock_guard lock(m_knownMutex);
    m_knownStores.insert(storeCode);
    return true;
}

void MariadbStore::insertChildren(Connection& c, const char* table, const char* array,
                                  std::size_t columns, bool numbered,
                                  const std::vector<ChildRow>& rows) {
    const std::size_t width = (numbered ? 2 : 1) + columns;
    for (std::size_t first = 0; first < rows.size(); first += RowsPerInsert) {
        const std::size_t n = std::min(RowsPerInsert, rows.size() - first);
        Statement& insert = c.statement(Sql::childInsert(table, array, columns, numbered, n));
        for (std::size_t r = 0; r < n; ++r) {
            const ChildRow& row = rows[first + r];
            std::size_t p = r * width;
            insert.integer(p++, row.saleId);
            if (numbered) {
                insert.integer(p++, static_cast<long long>(row.row));
            }
            if (row.table) {
                insert.slots(p, *row.table, row.row, columns);
            } else {
                insert.slots(p, *row.elements, columns);
            }
        }
        insert.run();
    }
}

void MariadbStore::recordConflict(Connection& c, const char* kind, const std::string& store,
                                  const std::string& key, const std::string& held,
                                  const std::string& sent, const std::string& now,
                                  const std::string& client) {
    Statement& r = c.statement(m_sql.insertConflict);
    r.texts({kind, store, key, held, sent, now, client});
    r.run();
}

StoreReply MariadbStore::putSale(const SaleUpload& sale) {
    if (auto refusal = checkSale(sale)) {
        return refusedUpload(sale.TPE.size() > 4 ? &sale.TPE(4) : nullptr, std::move(*refusal));
    }
    SaleJob job(&sale);
    std::unique_lock lock(m_queueMutex);
    m_queue.push_back(&job);
    // The caller that finds a writer's place free writes its own upload and whatever else waits;
    // the others wait for it. While the writers are busy the queue grows into the next batch. A
    // writer that leaves hands its place to the first caller waiting, waking no one else.
    auto wakeNextWriter = [&] {
        if (!m_queue.empty() && m_writers < SaleWriters) {
            m_queue.front()->wake.notify_one();
        }
    };
    while (!job.done) {
        if (job.queued && m_writers < SaleWriters) {
            ++m_writers;
            std::vector<SaleJob*> batch = {&job};
            std::erase(m_queue, &job);
            while (!m_queue.empty() && batch.size() < SalesPerBatch) {
                batch.push_back(m_queue.front());
                m_queue.pop_front();
            }
            for (SaleJob* taken : batch) {
                taken->queued = false;
            }
            wakeNextWriter();
            lock.unlock();
            storeSales(batch);
            lock.lock();
            --m_writers;
            // Under the lock: a job's caller may leave, and the job with it, once it sees done.
            for (SaleJob* answered : batch) {
                answered->done = true;
                answered->wake.notify_one();
            }
            wakeNextWriter();
        } else {
            job.wake.wait(lock);
        }
    }
    lock.unlock();
    if (!job.error.empty()) {
        throw Error(errc::ProviderError, job.error);
    }
    return std::move(job.reply);
}

void MariadbStore::storeSales(const std::vector<SaleJob*>& batch) noexcept {
    try {
        transact("storing sales", [&](Connection& c) { writeSales(c, batch); });
        return;
    } catch (const Error& e) {
        if (batch.size() == 1) {
            batch[0]->error = e.description();
            return;
        }
    } catch (const std::exception& e) {
        for (SaleJob* job : batch) {
            job->error = "central store " + m_name + ": storing sales: " + e.what();
        }
        return;
    }
    // An upload the server refuses must not take the others of its batch with it.
    for (SaleJob* job : batch) {
        storeSales({job});
    }
}

void MariadbStore::writeSales(Connection& c, const std::vector<SaleJob*>& batch) {
    const std::string now = m_clock.now().toDateTimeText();
    std::vector<ChildRow> rts, lines, acs, guests, dlvs;
    struct Conflict {
        const SaleUpload* sale;
        std::string held, sent;
    };
    std::vector<Conflict> conflicts;
    // Duplicates of a registered store: 'D', or 'R' for one with other content. Their rows also
    // make the commit flush the log past the commit of the sale they repeat, which may not be on
    // disk yet when its key is found.
    std::vector<std::pair<const std::string*, char>> events;
    std::vector<SaleJob*> stored;
    // The sales of registered stores, with what their header rows hold.
    struct Header {
        SaleJob* job;
        std::string_view kind, key1, key2;
        std::string digest;
    };
    std::vector<Header> headers;
    for (SaleJob* job : batch) {
        const SaleUpload& sale = *job->sale;
        job->reply = {};
        if (!storeKnown(c, sale.TPE(4))) {
            job->reply = refused(unknownStore(sale.TPE(4)));
            continue;
        }
        const bool byKey = !sale.saleKey.empty();
        headers.push_back({job, byKey ? "K" : "C", byKey ? sale.saleKey : sale.TPE(21),
                           byKey ? std::string_view() : std::string_view(sale.TPE(0)),
                           saleDigest(sale)});
    }
    auto bindHeader = [&](Statement& h, std::size_t first, const Header& header) {
        const SaleUpload& sale = *header.job->sale;
        h.text(first, sale.TPE(4));
        h.text(first + 1, header.kind);
        h.text(first + 2, header.key1);
        h.text(first + 3, header.key2);
        h.text(first + 4, sale.saleKey);
        h.text(first + 5, sale.method);
        h.text(first + 6, sale.markedY ? "Y" : "");
        h.text(first + 7, now);
        h.text(first + 8, header.digest);
        h.slots(first + 9, sale.TPE.elements(), TpeColumns);
    };
    auto accept = [&](const Header& header, long long id) {
        const SaleUpload& sale = *header.job->sale;
        stored.push_back(header.job);
        if (sale.TRT.size() > 0) {
            rts.push_back({id, 0, nullptr, &sale.TRT.elements()});
        }
        auto rowsOf = [&](std::vector<ChildRow>& to, const TextTable& table) {
            for (std::size_t row = 0; row < table.rows(); ++row) {
                to.push_back({id, row, &table, nullptr});
            }
        };
        rowsOf(lines, sale.TPS);
        rowsOf(acs, sale.TAC);
        if (sale.TPSN) {
            rowsOf(guests, *sale.TPSN);
        }
        if (sale.TDLV) {
            dlvs.push_back({id, 0, nullptr, &sale.TDLV->elements()});
        }
    };
    for (std::size_t first = 0; first < headers.size(); first += HeadersPerInsert) {
        const std::size_t n = std::min(HeadersPerInsert, headers.size() - first);
        // Several headers in one statement when the server numbers their rows consecutively;
        // when one of them is held already, the statement changed nothing and they go one by one.
        if (n > 1 && m_idStep > 0) {
            Statement& together = c.statement(Sql::headerInsert(n));
            for (std::size_t i = 0; i < n; ++i) {
                bindHeader(together, i * (9 + TpeColumns), headers[first + i]);
            }
            if (together.run(true)) {
                const auto id = static_cast<long long>(together.insertId());
                for (std::size_t i = 0; i < n; ++i) {
                    accept(headers[first + i], id + static_cast<long long>(i) * m_idStep);
                }
                continue;
            }
        }
        for (std::size_t i = first; i < first + n; ++i) {
            const Header& header = headers[i];
            const SaleUpload& sale = *header.job->sale;
            Statement& h = c.statement(Sql::headerInsert(1));
            bindHeader(h, 0, header);
            if (h.run(true)) {
                accept(header, static_cast<long long>(h.insertId()));
                continue;
            }
            // The failed statement changed nothing: the upload is undone, the batch goes on.
            SaleJob& job = *header.job;
            job.reply = refused(duplicate(1));
            Statement& held = c.statement(m_sql.heldSaleDigest);
            held.texts({sale.TPE(4), header.kind, header.key1, header.key2});
            const std::vector<Row> rows = held.rows();
            // A sale stored before digests were kept has none: whether it differs is unknown.
            if (!rows.empty() && rows[0][0] && *rows[0][0] != header.digest) {
                conflicts.push_back({&sale, *rows[0][0], header.digest});
                job.reply.conflict = true;
            }
            events.emplace_back(&sale.TPE(4), job.reply.conflict ? 'R' : 'D');
        }
    }
    // The children of every sale of the batch, a few statements per table.
    insertChildren(c, "SALE_RT", "TRT", TrtColumns, false, rts);
    insertChildren(c, "SALE_LINE", "TPS", TpsColumns, true, lines);
    insertChildren(c, "SALE_AC", "TAC", TacColumns, true, acs);
    insertChildren(c, "SALE_GUEST", "TPSN", TpsnColumns, true, guests);
    insertChildren(c, "SALE_DLV", "TDLV", TdlvColumns, false, dlvs);
    for (const Conflict& conflict : conflicts) {
        const SaleUpload& sale = *conflict.sale;
        recordConflict(c, "sale", sale.TPE(4),
                       sale.saleKey.empty() ? sale.TPE(21) + "/" + sale.TPE(0) : sale.saleKey,
                       conflict.held, conflict.sent, now, sale.client);
    }
    for (const auto& [store, kind] : events) {
        noteEvent(c, *store, kind, now);
    }
    for (SaleJob* job : stored) {
        job->reply = {true, ""};
    }
}

bool MariadbStore::insertCards(Connection& c, const TextTable& TCD, std::size_t first,
                               std::size_t end, const std::string& now) {
    if (first == end) {
        return true;
    }
    std::string sql = m_sql.insertCard;
    for (std::size_t row = first; row < end; ++row) {
        sql += (row == first ? "" : ", ") + m_sql.cardRow;
    }
    Statement& insert = c.statement(sql);
    std::vector<std::string> digests;
    digests.reserve(end - first);
    for (std::size_t row = first; row < end; ++row) {
        const std::size_t p = (row - first) * (3 + TcdColumns);
        digests.push_back(cardDigest(TCD, row));
        insert.text(p, TCD(row, 1));
        insert.text(p + 1, now);
        insert.text(p + 2, digests.back());
        insert.slots(p + 3, TCD, row, TcdColumns);
    }
    return insert.run(true);
}

StoreReply MariadbStore::putCards(const TextTable& TCD, const std::string& client) {
    if (auto refusal = checkCards(TCD)) {
        return refusedUpload(TCD.rows() > 0 && TCD.slots() > 1 ? &TCD(0, 1) : nullptr,
                             std::move(*refusal));
    }
    StoreReply reply;
    transact("storing card approvals", [&](Connection& c) {
        reply = {};
        const std::string now = m_clock.now().toDateTimeText();
        for (std::size_t first = 0; first < TCD.rows(); first += RowsPerInsert) {
            std::size_t end = std::min(TCD.rows(), first + RowsPerInsert);
            // The rows before the first one of an unknown store go in, as one by one they would.
            std::optional<std::size_t> unknown;
            for (std::size_t row = first; row < end && !unknown; ++row) {
                if (!storeKnown(c, TCD(row, 1))) {
                    unknown = row;
                }
            }
            const std::size_t stored = unknown.value_or(end);
            if (!insertCards(c, TCD, first, stored, now)) {
                // A row held already, or one repeating an earlier row of this batch: which one
                // is found row by row (the failed statement changed nothing).
                std::size_t row = first;
                while (row < stored && insertCards(c, TCD, row, row + 1, now)) {
                    ++row;
                }
                const std::string& store = TCD(row, 1);
                Statement& held = c.statement(m_sql.heldCardDigest);
                held.texts({store, TCD(row, 0), TCD(row, 2), TCD(row, 12)});
                const std::vector<Row> rows = held.rows();
                c.rollback();
                reply = refused(duplicate(row));
                const std::string digest = cardDigest(TCD, row);
                if (!rows.empty() && rows[0][0] && *rows[0][0] != digest) {
                    recordConflict(c, "card", store,
                                   TCD(row, 0) + "/" + TCD(row, 2) + "/" + TCD(row, 12),
                                   *rows[0][0], digest, now, client);
                    reply.conflict = true;
                }
                noteEvent(c, store, reply.conflict ? 'R' : 'D', now);
                return;
            }
            if (unknown) {
                c.rollback();
                reply = refused(unknownStore(TCD(*unknown, 1)));
                return;
            }
        }
        reply = {true, ""};
    });
    return reply;
}

StoreReply MariadbStore::putDeletedLines(const std::vector<DeletedLine>& lines) {
    if (auto answer = checkDeletedLines(lines)) {
        return *answer;
    }
    // As in the SQLite store: a line is known by all it holds; a batch sent again after its
    // answer was lost holds as many of each line as the store has already, and nothing is stored
    // twice. The lock of the store's RCT row keeps two batches of one store from counting at once.
    using LineKey = std::tuple<std::string, std::string, std::string, std::string, std::string,
                               std::string, double, double, double>;
    auto keyOf = [](const DeletedLine& l) {
        return LineKey{l.storeCode, l.posId, l.date,     l.barcode, l.name,
                       l.unit,      l.price, l.quantity, l.amount};
    };
    std::map<LineKey, long> inBatch;
    for (const DeletedLine& line : lines) {
        ++inBatch[keyOf(line)];
    }
    StoreReply reply;
    transact("storing deleted lines", [&](Connection& c) {
        reply = {};
        std::map<LineKey, long> toStore;  // copies still to store, counted at a line's first sight
        const std::string* lockedStore = nullptr;
        for (const DeletedLine& line : lines) {
            if (!lockedStore || *lockedStore != line.storeCode) {
                Statement& lock = c.statement(m_sql.lockStore);
                lock.text(0, line.storeCode);
                if (lock.rows().empty()) {
                    c.rollback();
                    reply = refused(unknownStore(line.storeCode));
                    return;
                }
                lockedStore = &line.storeCode;
            }
            const LineKey key = keyOf(line);
            auto [left, firstSight] = toStore.try_emplace(key, 0);
            if (firstSight) {
                Statement& count = c.statement(m_sql.countDeleted);
                count.texts(
                    {line.storeCode, line.posId, line.date, line.barcode, line.name, line.unit});
                count.real(6, line.price);
                count.real(7, line.quantity);
                count.real(8, line.amount);
                const std::vector<Row> rows = count.rows();
                const long held = rows.empty() ? 0 : number(rows[0][0]);
                left->second = std::max(0L, inBatch[key] - held);
            }
            if (left->second == 0) {
                continue;
            }
            --left->second;
            Statement& insert = c.statement(m_sql.insertDeleted);
            insert.texts({line.date, line.barcode, line.name, line.unit});
            insert.real(4, line.price);
            insert.real(5, line.quantity);
            insert.real(6, line.amount);
            insert.text(7, line.posId);
            insert.text(8, line.storeCode);
            insert.run();
        }
        reply = {true, ""};
    });
    return reply;
}

StoreReply MariadbStore::reportVersion(const std::string& version, const std::string& posId,
                                       const std::string& storeCode) {
    StoreReply reply;
    transact("storing a version report", [&](Connection& c) {
        const std::string now = m_clock.now().toDateTimeText();
        Statement& update = c.statement(m_sql.updateVersion);
        update.texts({version, now, posId, storeCode});
        update.run();
        reply = update.affectedRows() == 0 ? refused("미등록 카운터: " + storeCode + "/" + posId)
                                           : StoreReply{true, ""};
    });
    return reply;
}

void MariadbStore::addShop(const Shop& shop) {
    checkShop(shop, m_name);
    transact("registering a shop", [&](Connection& c) {
        Statement& store = c.statement(m_sql.putStore);
        store.texts({shop.storeCode, shop.storeName});
        store.run();
        if (!shop.depotCode.empty()) {
            Statement& depot = c.statement(m_sql.putDepot);
            depot.texts({shop.depotCode, shop.storeCode, shop.depotName});
            depot.run();
        }
        if (!shop.posId.empty()) {
            Statement& counter = c.statement(m_sql.putCounter);
            counter.texts({shop.posId, shop.storeCode, shop.posName});
            counter.run();
        }
    });
}

StoreReply MariadbStore::refusedUpload(const std::string* storeCode, StoreReply reply) {
    if (storeCode && !storeCode->empty()) {
        transact("noting a refusal", [&](Connection& c) {
            if (storeKnown(c, *storeCode)) {
                noteEvent(c, *storeCode, 'R', m_clock.now().toDateTimeText());
            }
        });
    }
    return reply;
}

void MariadbStore::noteEvent(Connection& c, const std::string& storeCode, char kind,
                             const std::string& now) {
    Statement& insert = c.statement(m_sql.insertEvent);
    insert.texts({storeCode, std::string_view(&kind, 1), now});
    insert.run();
}

std::vector<ShopActivity> MariadbStore::shopActivity(const std::string& today, int days) {
    const auto [dayIndex, from, until] = activityPeriod(today, days, m_name);

    std::vector<ShopActivity> shops;
    transact("reading the shops' activity", [&](Connection& c) {
        shops.clear();
        // One snapshot for the whole table.
        c.exec("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ");
        c.exec("START TRANSACTION WITH CONSISTENT SNAPSHOT");
        auto query = [&](const std::string& sql, std::initializer_list<std::string_view> values) {
            Statement& st = c.statement(sql);
            st.texts(values);
            return st.rows();
        };
        auto latest = [&](const char* table, const std::string& code) {
            const std::vector<Row> rows =
                query(std::string("SELECT MAX(RECEIVED_AT) FROM ") + table + " WHERE RCT_CODE = ?",
                      {code});
            return rows.empty() ? std::string() : rows[0][0].value_or("");
        };
        auto perDay = [&](const char* table, const std::string& code, std::vector<long>& into) {
            into.assign(static_cast<std::size_t>(days), 0);
            for (const Row& row :
                 query(std::string("SELECT SUBSTR(RECEIVED_AT, 1, 10), COUNT(*) FROM ") + table +
                           " WHERE RCT_CODE = ? AND RECEIVED_AT >= ? AND RECEIVED_AT < ? "
                           "GROUP BY SUBSTR(RECEIVED_AT, 1, 10)",
                       {code, from, until})) {
                if (auto at = dayIndex.find(row[0].value_or("")); at != dayIndex.end()) {
                    into[at->second] = number(row[1]);
                }
            }
        };
        for (const Row& store : query("SELECT RCT_CODE, RCT_NAME FROM RCT ORDER BY RCT_CODE", {})) {
            ShopActivity& shop = shops.emplace_back();
            shop.storeCode = store[0].value_or("");
            shop.storeName = store[1].value_or("");
            shop.lastUpload =
                std::max(latest("SALE_HDR", shop.storeCode), latest("CARD_APR", shop.storeCode));
            const std::vector<Row> version = query(
                "SELECT VELDON_VER, VELDON_VER_SDATE FROM POS WHERE RCT_CODE = ? AND "
                "VELDON_VER_SDATE IS NOT NULL ORDER BY VELDON_VER_SDATE DESC LIMIT 1",
                {shop.storeCode});
            if (!version.empty()) {
                shop.version = version[0][0].value_or("");
                shop.versionReportedAt = version[0][1].value_or("");
            }
            perDay("SALE_HDR", shop.storeCode, shop.salesPerDay);
            perDay("CARD_APR", shop.storeCode, shop.cardsPerDay);
            for (const Row& row : query("SELECT KIND, COUNT(*) FROM UPLOAD_EVENT WHERE RCT_CODE = "
                                        "? AND RECEIVED_AT >= ? AND RECEIVED_AT < ? GROUP BY KIND",
                                        {shop.storeCode, from, until})) {
                (row[0] == "D" ? shop.duplicates : shop.refusals) += number(row[1]);
            }
        }
    });
    return shops;
}

std::optional<std::string> MariadbStore::lookUp(const std::string& sql,
                                                std::initializer_list<std::string_view> keys) {
    std::optional<std::string> found;
    transact("look-up", [&](Connection& c) {
        Statement& s = c.statement(sql);
        s.texts(keys);
        const std::vector<Row> rows = s.rows();
        found = rows.empty() ? std::nullopt : std::optional<std::string>(rows[0][0].value_or(""));
    });
    return found;
}

std::optional<std::string> MariadbStore::storeName(const std::string& storeCode) {
    return lookUp(m_sql.storeName, {storeCode});
}

std::optional<std::string> MariadbStore::depotName(const std::string& depotCode,
                                                   const std::string& storeCode) {
    return lookUp(m_sql.depotName, {depotCode, storeCode});
}

std::optional<std::string> MariadbStore::counterName(const std::string& posId,
                                                     const std::string& storeCode) {
    return lookUp(m_sql.counterName, {posId, storeCode});
}

std::vector<std::pair<std::string, long>> MariadbStore::tableCounts() {
    std::vector<std::pair<std::string, long>> counts;
    transact("counting rows", [&](Connection& c) {
        counts.clear();
        // One snapshot, so that the counts belong together.
        c.exec("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ");
        c.exec("START TRANSACTION WITH CONSISTENT SNAPSHOT");
        for (const char* table : DataTables) {
            const std::vector<Row> rows =
                c.statement(std::string("SELECT COUNT(*) FROM ") + table).rows();
            counts.emplace_back(table, rows.empty() ? 0 : number(rows[0][0]));
        }
    });
    return counts;
}

std::vector<std::pair<std::string, long>> MariadbStore::storeCounts(const std::string& storeCode) {
    std::vector<std::pair<std::string, long>> counts;
    transact("counting rows", [&](Connection& c) {
        counts.clear();
        for (const auto& [what, table] : {std::pair<const char*, const char*>{"sales", "SALE_HDR"},
                                          {"card approvals", "CARD_APR"},
                                          {"deleted lines", "DELPSS13"}}) {
            Statement& count =
                c.statement(std::string("SELECT COUNT(*) FROM ") + table + " WHERE RCT_CODE = ?");
            count.text(0, storeCode);
            const std::vector<Row> rows = count.rows();
            counts.emplace_back(what, rows.empty() ? 0 : number(rows[0][0]));
        }
    });
    return counts;
}

bool validDatabaseName(const std::string& name) {
    return !name.empty() && name.size() <= 64 &&
           std::all_of(name.begin(), name.end(), [](unsigned char ch) {
               return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                      (ch >= '0' && ch <= '9') || ch == '_' || ch == '$';
           });
}

}  // namespace

bool isMariadbAddress(const std::string& text) {
    return text.starts_with("mariadb://");
}

MariadbTarget parseMariadbTarget(const std::string& address) {
    const std::string form = "mariadb://USER@HOST:PORT/DATABASE";
    // A password put into the address by mistake is not repeated in the message.
    std::string shown = address;
    if (const std::size_t userEnd = shown.find('@'), passwordStart = shown.find(':', 10);
        userEnd != std::string::npos && passwordStart < userEnd) {
        shown.replace(passwordStart + 1, userEnd - passwordStart - 1, "***");
    }
    auto wrong = [&](const std::string& why) {
        return Error(errc::BadArguments,
                     "'" + shown + "' is no MariaDB address (" + form + "): " + why);
    };
    if (!isMariadbAddress(address)) {
        throw wrong("it does not begin with mariadb://");
    }
    const std::string rest = address.substr(std::string("mariadb://").size());
    const std::size_t at = rest.find('@');
    const std::size_t slash = rest.find('/', at == std::string::npos ? 0 : at);
    if (at == std::string::npos || at == 0) {
        throw wrong("the user is missing");
    }
    MariadbTarget target;
    target.user = rest.substr(0, at);
    if (target.user.find(':') != std::string::npos) {
        throw wrong(
            "a password does not belong in the address; give it with "
            "VELDON_CENTRAL_DB_PASSWORD or --db-password-file");
    }
    if (slash == std::string::npos) {
        throw wrong("the database is missing");
    }
    std::string host = rest.substr(at + 1, slash - at - 1);
    std::string port;
    if (host.starts_with("[")) {
        const std::size_t close = host.find(']');
        if (close == std::string::npos) {
            throw wrong("an IPv6 host needs its closing ]");
        }
        if (close + 1 < host.size()) {
            if (host[close + 1] != ':') {
                throw wrong("the host is followed by something other than :PORT");
            }
            port = host.substr(close + 2);
            if (port.empty()) {
                throw wrong("the port after ':' is missing");
            }
        }
        host = host.substr(1, close - 1);
    } else if (const std::size_t colon = host.rfind(':'); colon != std::string::npos) {
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
        if (port.empty()) {
            throw wrong("the port after ':' is missing");
        }
    }
    if (host.empty()) {
        throw wrong("the host is missing");
    }
    target.host = host;
    if (!port.empty()) {
        if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](unsigned char ch) {
                return ch >= '0' && ch <= '9';
            })) {
            throw wrong("the port '" + port + "' is no number");
        }
        target.port = std::stoi(port);
        if (target.port < 1 || target.port > 65535) {
            throw wrong("the port must be from 1 to 65535");
        }
    }
    target.database = rest.substr(slash + 1);
    if (!validDatabaseName(target.database)) {
        throw wrong("the database name must be 1 to 64 letters, digits, '_' or '$'");
    }
    return target;
}

std::string describeTarget(const MariadbTarget& target) {
    const bool v6 = target.host.find(':') != std::string::npos;
    return "mariadb://" + target.user + "@" + (v6 ? "[" + target.host + "]" : target.host) + ":" +
           std::to_string(target.port) + "/" + target.database;
}

std::unique_ptr<CentralStore> openMariadbStore(const MariadbTarget& target) {
    // The library's set-up is not safe from many threads at once; the connections are.
    static std::once_flag initialised;
    std::call_once(initialised, [] { mysql_library_init(0, nullptr, nullptr); });
    return std::make_unique<MariadbStore>(target);
}

}  // namespace veldon::central
