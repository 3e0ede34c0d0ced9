// The embedded central store: one SQLite file in WAL mode. The uploads of all waiting requests
// commit in one transaction, each upload in its own savepoint, so that many shops share one fsync;
// commits run without it (synchronous NORMAL) and a separate fdatasync of the WAL makes them
// durable before any of their callers is answered. A caller that finds the store idle commits and
// flushes on its own thread, as thread hand-offs cost more than the fsync here; callers arriving
// meanwhile queue for a writer thread and a flusher thread, so that under load the next commit
// overlaps the running flush. Look-ups and counts read through a separate connection.
//
// The statements stay within what MariaDB also understands (no INSERT OR IGNORE, no upsert, ids
// assigned here rather than by the database), so that a head office can move the tables to its own
// server unchanged.
#include "central/sqlitestore.h"

#include <sqlite3.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <variant>

#include "central/storerules.h"
#include "platform/clock.h"
#include "platform/error.h"

namespace veldon::central {
namespace {

using namespace rules;

constexpr int SchemaVersion = 3;
// A second process holding the file (a backup, an administrator's query) may delay us this long.
constexpr int BusyTimeoutMs = 5000;

// What schema version 2 added to version 1: the content digests and the conflicts table.
std::vector<std::string> contentDigestDdl() {
    return {
        "ALTER TABLE SALE_HDR ADD COLUMN CONTENT_DIGEST VARCHAR(16)",
        "ALTER TABLE CARD_APR ADD COLUMN CONTENT_DIGEST VARCHAR(16)",
        "CREATE TABLE CONFLICT (CONFLICT_ID INTEGER NOT NULL, KIND VARCHAR(8) NOT NULL, "
        "RCT_CODE VARCHAR(100) NOT NULL, UPLOAD_KEY TEXT NOT NULL, HELD_DIGEST VARCHAR(16) NOT "
        "NULL, SENT_DIGEST VARCHAR(16) NOT NULL, RECEIVED_AT VARCHAR(19) NOT NULL, CLIENT TEXT, "
        "PRIMARY KEY (CONFLICT_ID))",
    };
}

// What schema version 3 added: the uploads answered as duplicates or refused (KIND 'D' or 'R') for
// the head-office page, and the indexes that page reads each store's recent rows through.
std::vector<std::string> activityDdl() {
    return {
        "CREATE TABLE UPLOAD_EVENT (EVENT_ID INTEGER NOT NULL, RCT_CODE VARCHAR(100) NOT NULL, "
        "KIND CHAR(1) NOT NULL, RECEIVED_AT VARCHAR(19) NOT NULL, PRIMARY KEY (EVENT_ID))",
        "CREATE INDEX UPLOAD_EVENT_STORE ON UPLOAD_EVENT (RCT_CODE, RECEIVED_AT)",
        "CREATE INDEX SALE_HDR_RECEIVED ON SALE_HDR (RCT_CODE, RECEIVED_AT)",
        "CREATE INDEX CARD_APR_RECEIVED ON CARD_APR (RCT_CODE, RECEIVED_AT)",
    };
}

std::vector<std::string> schemaDdl() {
    const std::string key = " VARCHAR(" + std::to_string(MaxKeyChars) + ")";
    return {
        "CREATE TABLE SCHEMA_VERSION (VERSION INTEGER NOT NULL)",
        "CREATE TABLE RCT (RCT_CODE" + key + " NOT NULL, RCT_NAME TEXT, PRIMARY KEY (RCT_CODE))",
        "CREATE TABLE HCT (HCT_CODE" + key + " NOT NULL, RCT_CODE" + key +
            " NOT NULL, HCT_NAME TEXT, PRIMARY KEY (HCT_CODE, RCT_CODE))",
        "CREATE TABLE POS (POS_ID" + key + " NOT NULL, RCT_CODE" + key +
            " NOT NULL, POS_NAME TEXT, VELDON_VER TEXT, VELDON_VER_SDATE VARCHAR(19), "
            "PRIMARY KEY (POS_ID, RCT_CODE))",
        "CREATE TABLE DELPSS13 (DEL_ID INTEGER NOT NULL, DEL_DATE TEXT, PR_BCODE TEXT, "
        "PR_NAME TEXT, PR_UNIT TEXT, PR_UP DECIMAL(19,4), PR_QTY DECIMAL(19,4), "
        "PR_AMT DECIMAL(19,4), POS_ID" +
            key + ", RCT_CODE" + key + ", PRIMARY KEY (DEL_ID))",
        "CREATE INDEX DELPSS13_LINE ON DELPSS13 (RCT_CODE, POS_ID, DEL_DATE)",
        // DUP_KIND 'K': DUP_KEY1 is the sale key; 'C' (no sale key): counter id and TPE slot 0.
        "CREATE TABLE SALE_HDR (SALE_ID INTEGER NOT NULL, RCT_CODE" + key +
            " NOT NULL, DUP_KIND CHAR(1) NOT NULL, DUP_KEY1" + key + " NOT NULL, DUP_KEY2" + key +
            " NOT NULL, SALE_KEY" + key +
            " NOT NULL, METHOD TEXT NOT NULL, MARK_Y CHAR(1) NOT NULL, "
            "RECEIVED_AT VARCHAR(19) NOT NULL" +
            slotColumnsDdl("TPE", TpeColumns) +
            ", PRIMARY KEY (SALE_ID), "
            "CONSTRAINT SALE_HDR_DUP UNIQUE (RCT_CODE, DUP_KIND, DUP_KEY1, DUP_KEY2))",
        "CREATE TABLE SALE_RT (SALE_ID INTEGER NOT NULL" + slotColumnsDdl("TRT", TrtColumns) +
            ", PRIMARY KEY (SALE_ID))",
        "CREATE TABLE SALE_LINE (SALE_ID INTEGER NOT NULL, ROW_NO INTEGER NOT NULL" +
            slotColumnsDdl("TPS", TpsColumns) + ", PRIMARY KEY (SALE_ID, ROW_NO))",
        "CREATE TABLE SALE_AC (SALE_ID INTEGER NOT NULL, ROW_NO INTEGER NOT NULL" +
            slotColumnsDdl("TAC", TacColumns) + ", PRIMARY KEY (SALE_ID, ROW_NO))",
        "CREATE TABLE SALE_GUEST (SALE_ID INTEGER NOT NULL, ROW_NO INTEGER NOT NULL" +
            slotColumnsDdl("TPSN", TpsnColumns) + ", PRIMARY KEY (SALE_ID, ROW_NO))",
        "CREATE TABLE SALE_DLV (SALE_ID INTEGER NOT NULL" + slotColumnsDdl("TDLV", TdlvColumns) +
            ", PRIMARY KEY (SALE_ID))",
        "CREATE TABLE CARD_APR (CARD_ID INTEGER NOT NULL, RCT_CODE" + key +
            " NOT NULL, RECEIVED_AT VARCHAR(19) NOT NULL" +
            slotColumnsDdl("TCD", TcdColumns, {0, 2, 12}) +
            ", PRIMARY KEY (CARD_ID), "
            "CONSTRAINT CARD_APR_DUP UNIQUE (RCT_CODE, TCD_00, TCD_02, TCD_12))",
    };
}

// A failure of SQLite while committing: the batch decides whether only one job or all fail.
struct SqliteFailure {
    int code;
    std::string message;
};

// The start of a statement, enough to tell which one failed.
std::string brief(const char* sql) {
    std::string_view text(sql ? sql : "");
    return text.size() <= 60 ? std::string(text) : std::string(text.substr(0, 60)) + "...";
}

std::string describe(sqlite3* db, const std::string& what) {
    return what + ": " + sqlite3_errmsg(db) + " (SQLite error " +
           std::to_string(sqlite3_extended_errcode(db)) + ")";
}

class Statement {
public:
    Statement() = default;
    Statement(sqlite3* db, const std::string& sql) : m_db(db) {
        if (sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()),
                               SQLITE_PREPARE_PERSISTENT, &m_stmt, nullptr) != SQLITE_OK) {
            throw SqliteFailure{sqlite3_extended_errcode(db),
                                describe(db, "prepare " + brief(sql.c_str()))};
        }
    }
    Statement(Statement&& other) noexcept
        : m_db(std::exchange(other.m_db, nullptr)), m_stmt(std::exchange(other.m_stmt, nullptr)) {}
    Statement& operator=(Statement&& other) noexcept {
        std::swap(m_db, other.m_db);
        std::swap(m_stmt, other.m_stmt);
        return *this;
    }
    ~Statement() { sqlite3_finalize(m_stmt); }

    // The text must live until the statement has run: the callers' arrays do.
    void text(int index, std::string_view value) {
        sqlite3_bind_text(m_stmt, index, value.data(), static_cast<int>(value.size()),
                          SQLITE_STATIC);
    }
    void null(int index) { sqlite3_bind_null(m_stmt, index); }
    void integer(int index, sqlite3_int64 value) { sqlite3_bind_int64(m_stmt, index, value); }
    void real(int index, double value) { sqlite3_bind_double(m_stmt, index, value); }

    // Slots as text, and NULL for the columns beyond the slots sent, so that "not sent" and
    // "sent empty" stay apart.
    void slots(int first, const std::vector<std::string>& values, std::size_t columns) {
        for (std::size_t slot = 0; slot < columns; ++slot) {
            if (slot < values.size()) {
                text(first + static_cast<int>(slot), values[slot]);
            } else {
                null(first + static_cast<int>(slot));
            }
        }
    }
    void slots(int first, const TextTable& table, std::size_t row, std::size_t columns) {
        for (std::size_t slot = 0; slot < columns; ++slot) {
            if (slot < table.slots()) {
                text(first + static_cast<int>(slot), table(row, slot));
            } else {
                null(first + static_cast<int>(slot));
            }
        }
    }

    // Runs a statement that returns no rows. False when it broke a UNIQUE constraint and
    // `uniqueIsDuplicate`; any other failure raises.
    bool run(bool uniqueIsDuplicate = false) {
        int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_DONE) {
            sqlite3_reset(m_stmt);
            return true;
        }
        int code = sqlite3_extended_errcode(m_db);
        std::string message = describe(m_db, brief(sqlite3_sql(m_stmt)));
        sqlite3_reset(m_stmt);
        if (uniqueIsDuplicate && code == SQLITE_CONSTRAINT_UNIQUE) {
            return false;
        }
        throw SqliteFailure{code, message};
    }

    // Steps a query; true while there is a row. The caller resets (see Reset).
    bool row() {
        int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc == SQLITE_DONE) {
            return false;
        }
        int code = sqlite3_extended_errcode(m_db);
        std::string message = describe(m_db, brief(sqlite3_sql(m_stmt)));
        sqlite3_reset(m_stmt);
        throw SqliteFailure{code, message};
    }
    std::string columnText(int column) {
        auto text = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
        return text ? std::string(text, sqlite3_column_bytes(m_stmt, column)) : std::string();
    }
    sqlite3_int64 columnInteger(int column) { return sqlite3_column_int64(m_stmt, column); }
    bool columnIsNull(int column) { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    void reset() { sqlite3_reset(m_stmt); }

private:
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_stmt = nullptr;
};

// Ends a query's read transaction however the caller leaves, so that checkpoints are not held up.
class Reset {
public:
    explicit Reset(Statement& statement) : m_statement(statement) {}
    ~Reset() { m_statement.reset(); }
    Reset(const Reset&) = delete;
    Reset& operator=(const Reset&) = delete;

private:
    Statement& m_statement;
};

sqlite3* openConnection(const std::filesystem::path& file, const std::string& name) {
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(file.string().c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string message = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw Error(errc::ProviderError,
                    "central store " + name + ": cannot open " + file.string() + ": " + message);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, BusyTimeoutMs);
    return db;
}

void exec(sqlite3* db, const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        int code = sqlite3_extended_errcode(db);
        std::string text = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw SqliteFailure{code,
                            sql + ": " + text + " (SQLite error " + std::to_string(code) + ")"};
    }
}

std::string pragmaText(sqlite3* db, const std::string& sql) {
    Statement statement(db, sql);
    Reset reset(statement);
    return statement.row() ? statement.columnText(0) : std::string();
}

struct VersionReport {
    const std::string* version;
    const std::string* posId;
    const std::string* storeCode;
};

// An upload refused before it reached the database (arrays of the wrong size, keys too long):
// noted for its store all the same.
struct RefusalNote {
    const std::string* storeCode;
};

using JobInput = std::variant<const SaleUpload*, const TextTable*, const std::vector<DeletedLine>*,
                              VersionReport, const Shop*, RefusalNote>;

// One request waiting for the commit that covers it; it lives on the caller's stack.
struct Job {
    explicit Job(JobInput in) : input(in) {}
    JobInput input;
    std::string client;  // the caller's address, for a conflict's record
    StoreReply reply;    // accepted: its changes are kept
    std::string error;   // not empty: the caller raises it
    // A duplicate key held with other content; recorded after the job's own changes are undone.
    struct Conflict {
        std::string kind, store, key, held, sent;
    };
    std::optional<Conflict> conflict;
    // An upload of a registered store answered as a duplicate ('D') or refused ('R'), noted in
    // UPLOAD_EVENT after the job's own changes are undone.
    char event = 0;
    const std::string* eventStore = nullptr;

    // A plain futex wait: std::binary_semaphore spins with sched_yield first, which with dozens
    // of waiting callers takes a good part of a core from the writer.
    void wait() {
        std::unique_lock lock(m_mutex);
        m_answered.wait(lock, [this] { return m_done; });
    }
    // The job may be gone once this returns: notify under the lock, so the caller cannot leave
    // before.
    void answer() {
        std::lock_guard lock(m_mutex);
        m_done = true;
        m_answered.notify_one();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_answered;
    bool m_done = false;
};

class SqliteStore : public CentralStore {
public:
    explicit SqliteStore(const std::filesystem::path& file);
    ~SqliteStore() override;

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

    long commits() const { return m_commits.load(); }

private:
    Error failure(const std::string& what, const SqliteFailure& f) const;
    void close();
    void createOrCheckSchema();
    void prepareStatements();

    StoreReply submit(JobInput input, std::string client = {});
    void writerLoop();
    void flusherLoop();
    void commitQueued(std::unique_lock<std::mutex>& lock);
    // noexcept: a caller leaving midway would leave m_writing or m_flushing set for good.
    void flushCommitted(std::unique_lock<std::mutex>& lock) noexcept;
    std::string flushWal();
    void commitBatch(std::vector<Job*>& batch) noexcept;
    void runJob(Job& job);
    void runSale(Job& job, const SaleUpload& sale);
    void runCards(Job& job, const TextTable& TCD);
    void runDeletedLines(Job& job, const std::vector<DeletedLine>& lines);
    void runVersion(Job& job, const VersionReport& report);
    void runShop(Job& job, const Shop& shop);
    void runRefusalNote(Job& job, const RefusalNote& note);
    StoreReply refusedUpload(const std::string* storeCode, std::string reply);
    bool storeKnown(const std::string& storeCode);
    sqlite3_int64 nextId(Statement& maxId);

    std::optional<std::string> lookUp(Statement& statement,
                                      std::initializer_list<const std::string*> keys);

    std::string m_name;  // the file name, for error texts
    sqlite3* m_writeDb = nullptr;
    sqlite3* m_readDb = nullptr;

    // The write connection's holder only (m_writing).
    Statement m_begin, m_commit, m_savepoint, m_rollbackTo, m_release;
    Statement m_maxSaleId, m_maxCardId, m_maxDeletedId;
    Statement m_findStore;
    Statement m_insertHeader, m_insertRt, m_insertLine, m_insertAc, m_insertGuest, m_insertDlv;
    Statement m_insertCard, m_insertDeleted, m_countDeleted, m_updateVersion;
    Statement m_heldSaleDigest, m_heldCardDigest, m_insertConflict, m_insertEvent;
    Statement m_renameStore, m_insertStore, m_renameDepot, m_insertDepot, m_renameCounter,
        m_insertCounter;
    std::string m_now;  // the batch's date and time, 'YYYY-MM-DD HH:MM:SS'
    SystemClock m_clock;
    sqlite3_int64 m_nextSaleId = 0, m_nextCardId = 0, m_nextDeletedId = 0;

    // Readers, one at a time.
    std::mutex m_readMutex;
    Statement m_storeName, m_depotName, m_counterName;
    std::vector<std::pair<std::string, Statement>> m_counts;

    // Guards the queue, the committed batches and who writes and who flushes.
    std::mutex m_mutex;
    std::condition_variable m_writerWake, m_flusherWake;
    std::vector<Job*> m_queue;
    bool m_stopping = false;
    std::atomic<long> m_commits{0};
    // The write connection's holder, a caller or the writer thread: one at a time.
    bool m_writing = false;
    // A flush is running, in a caller or the flusher thread: one at a time, so that a flush
    // answers only after every earlier flush has returned.
    bool m_flushing = false;

    // Committed batches waiting for the fsync that makes them durable, oldest first.
    std::vector<std::vector<Job*>> m_committed;
    bool m_writerDone = false;
    // Once a flush has failed, nothing committed since can be promised durable: every later
    // request fails until the service is restarted.
    std::string m_broken;  // under m_mutex
    std::atomic<bool> m_isBroken{false};
    std::string m_walPath, m_dbPath;
    int m_walFd = -1, m_dbFd = -1;

    std::thread m_writer, m_flusher;
};

SqliteStore::SqliteStore(const std::filesystem::path& file) : m_name(file.filename().string()) {
    try {
        m_writeDb = openConnection(file, m_name);
        // Also the first read of the file: a file that is no database fails here.
        std::string mode = pragmaText(m_writeDb, "PRAGMA journal_mode=WAL");
        if (mode != "wal") {
            throw SqliteFailure{SQLITE_ERROR,
                                "no WAL mode on this file system (journal mode '" + mode + "')"};
        }
        // Sub-journals of the savepoints in memory: on disk they cost a write per page touched.
        exec(m_writeDb, "PRAGMA temp_store=MEMORY");
#ifdef _WIN32
        exec(m_writeDb, "PRAGMA synchronous=FULL");
#else
        // The flusher's fsync of the WAL makes each commit durable before it is answered.
        exec(m_writeDb, "PRAGMA synchronous=NORMAL");
#endif
        createOrCheckSchema();
        m_readDb = openConnection(file, m_name);
        exec(m_readDb, "PRAGMA query_only=1");
        prepareStatements();
        const char* dbName = sqlite3_db_filename(m_writeDb, "main");
        m_dbPath = dbName;
        m_walPath = sqlite3_filename_wal(dbName);
        std::string flushed = flushWal();  // also opens the files
        if (!flushed.empty()) {
            throw SqliteFailure{SQLITE_IOERR, flushed};
        }
    } catch (const SqliteFailure& f) {
        Error e = failure("cannot open", f);
        close();
        throw e;
    } catch (...) {
        close();
        throw;
    }
    m_flusher = std::thread([this] { flusherLoop(); });
    m_writer = std::thread([this] { writerLoop(); });
}

SqliteStore::~SqliteStore() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_writerWake.notify_one();
    }
    m_writer.join();  // it tells the flusher when it is done
    m_flusher.join();
    close();
}

void SqliteStore::close() {
#ifndef _WIN32
    for (int fd : {m_walFd, m_dbFd}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    m_walFd = m_dbFd = -1;
#endif
    // The statements still open finalize with the members; the connections close after them.
    sqlite3_close_v2(m_readDb);
    sqlite3_close_v2(m_writeDb);
    m_readDb = m_writeDb = nullptr;
}

Error SqliteStore::failure(const std::string& what, const SqliteFailure& f) const {
    return Error(errc::ProviderError, "central store " + m_name + ": " + what + ": " + f.message);
}

void SqliteStore::createOrCheckSchema() {
    exec(m_writeDb, "BEGIN IMMEDIATE");
    try {
        Statement tables(m_writeDb,
                         "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");
        bool hasVersion = false, hasOthers = false;
        {
            Reset reset(tables);
            while (tables.row()) {
                (tables.columnText(0) == "SCHEMA_VERSION" ? hasVersion : hasOthers) = true;
            }
        }
        if (!hasVersion) {
            // Never spread our tables over some other program's database.
            if (hasOthers) {
                throw SqliteFailure{SQLITE_ERROR,
                                    "the file holds other tables and no "
                                    "SCHEMA_VERSION: not a central store"};
            }
            for (const std::string& ddl : schemaDdl()) {
                exec(m_writeDb, ddl);
            }
            for (const std::string& ddl : contentDigestDdl()) {
                exec(m_writeDb, ddl);
            }
            for (const std::string& ddl : activityDdl()) {
                exec(m_writeDb, ddl);
            }
            exec(m_writeDb, "INSERT INTO SCHEMA_VERSION (VERSION) VALUES (" +
                                std::to_string(SchemaVersion) + ")");
        } else {
            Statement version(m_writeDb, "SELECT MAX(VERSION) FROM SCHEMA_VERSION");
            Reset reset(version);
            long found = version.row() ? static_cast<long>(version.columnInteger(0)) : 0;
            if (found > SchemaVersion) {
                throw SqliteFailure{SQLITE_ERROR, "schema version " + std::to_string(found) +
                                                      " is newer than this program's " +
                                                      std::to_string(SchemaVersion)};
            }
            // Upgrades from older versions go here, each in this transaction.
            if (found < 2) {
                for (const std::string& ddl : contentDigestDdl()) {
                    exec(m_writeDb, ddl);
                }
                exec(m_writeDb, "INSERT INTO SCHEMA_VERSION (VERSION) VALUES (2)");
            }
            if (found < 3) {
                for (const std::string& ddl : activityDdl()) {
                    exec(m_writeDb, ddl);
                }
                exec(m_writeDb, "INSERT INTO SCHEMA_VERSION (VERSION) VALUES (3)");
            }
            // Stores made before deleted lines were told apart lack their index.
            exec(m_writeDb,
                 "CREATE INDEX IF NOT EXISTS DELPSS13_LINE ON DELPSS13 (RCT_CODE, POS_ID, "
                 "DEL_DATE)");
        }
        exec(m_writeDb, "COMMIT");
    } catch (...) {
        sqlite3_exec(m_writeDb, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void SqliteStore::prepareStatements() {
    sqlite3* w = m_writeDb;
    m_begin = Statement(w, "BEGIN IMMEDIATE");
    m_commit = Statement(w, "COMMIT");
    m_savepoint = Statement(w, "SAVEPOINT job");
    m_rollbackTo = Statement(w, "ROLLBACK TO SAVEPOINT job");
    m_release = Statement(w, "RELEASE SAVEPOINT job");
    m_maxSaleId = Statement(w, "SELECT MAX(SALE_ID) FROM SALE_HDR");
    m_maxCardId = Statement(w, "SELECT MAX(CARD_ID) FROM CARD_APR");
    m_maxDeletedId = Statement(w, "SELECT MAX(DEL_ID) FROM DELPSS13");
    m_findStore = Statement(w, "SELECT 1 FROM RCT WHERE RCT_CODE = ?");
    m_insertHeader = Statement(
        w,
        "INSERT INTO SALE_HDR (SALE_ID, RCT_CODE, DUP_KIND, DUP_KEY1, DUP_KEY2, SALE_KEY, "
        "METHOD, MARK_Y, RECEIVED_AT, CONTENT_DIGEST" +
            slotColumnsList("TPE", TpeColumns) + ") VALUES (" + placeholders(10 + TpeColumns) +
            ")");
    m_heldSaleDigest = Statement(w,
                                 "SELECT CONTENT_DIGEST FROM SALE_HDR WHERE RCT_CODE = ? AND "
                                 "DUP_KIND = ? AND DUP_KEY1 = ? AND DUP_KEY2 = ?");
    m_heldCardDigest = Statement(w,
                                 "SELECT CONTENT_DIGEST FROM CARD_APR WHERE RCT_CODE = ? AND "
                                 "TCD_00 = ? AND TCD_02 = ? AND TCD_12 = ?");
    m_insertConflict = Statement(
        w,
        "INSERT INTO CONFLICT (CONFLICT_ID, KIND, RCT_CODE, UPLOAD_KEY, HELD_DIGEST, SENT_DIGEST, "
        "RECEIVED_AT, CLIENT) VALUES ((SELECT IFNULL(MAX(CONFLICT_ID), 0) + 1 FROM CONFLICT), ?, "
        "?, ?, ?, ?, ?, ?)");
    m_insertEvent =
        Statement(w, "INSERT INTO UPLOAD_EVENT (RCT_CODE, KIND, RECEIVED_AT) VALUES (?, ?, ?)");
    m_insertRt = Statement(w, "INSERT INTO SALE_RT (SALE_ID" + slotColumnsList("TRT", TrtColumns) +
                                  ") VALUES (" + placeholders(1 + TrtColumns) + ")");
    m_insertLine =
        Statement(w, "INSERT INTO SALE_LINE (SALE_ID, ROW_NO" + slotColumnsList("TPS", TpsColumns) +
                         ") VALUES (" + placeholders(2 + TpsColumns) + ")");
    m_insertAc =
        Statement(w, "INSERT INTO SALE_AC (SALE_ID, ROW_NO" + slotColumnsList("TAC", TacColumns) +
                         ") VALUES (" + placeholders(2 + TacColumns) + ")");
    m_insertGuest = Statement(w, "INSERT INTO SALE_GUEST (SALE_ID, ROW_NO" +
                                     slotColumnsList("TPSN", TpsnColumns) + ") VALUES (" +
                                     placeholders(2 + TpsnColumns) + ")");
    m_insertDlv =
        Statement(w, "INSERT INTO SALE_DLV (SALE_ID" + slotColumnsList("TDLV", TdlvColumns) +
                         ") VALUES (" + placeholders(1 + TdlvColumns) + ")");
    m_insertCard = Statement(w,
                             "INSERT INTO CARD_APR (CARD_ID, RCT_CODE, RECEIVED_AT, "
                             "CONTENT_DIGEST" +
                                 slotColumnsList("TCD", TcdColumns) + ") VALUES (" +
                                 placeholders(4 + TcdColumns) + ")");
    m_insertDeleted = Statement(
        w,
        "INSERT INTO DELPSS13 (DEL_ID, DEL_DATE, PR_BCODE, PR_NAME, PR_UNIT, PR_UP, PR_QTY, "
        "PR_AMT, POS_ID, RCT_CODE) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    m_countDeleted = Statement(
        w,
        "SELECT COUNT(*) FROM DELPSS13 WHERE DEL_DATE = ? AND PR_BCODE = ? AND PR_NAME = ? AND "
        "PR_UNIT = ? AND PR_UP = ? AND PR_QTY = ? AND PR_AMT = ? AND POS_ID = ? AND "
        "RCT_CODE = ?");
    m_updateVersion = Statement(w,
                                "UPDATE POS SET VELDON_VER = ?, VELDON_VER_SDATE = ? "
                                "WHERE POS_ID = ? AND RCT_CODE = ?");
    m_renameStore = Statement(w, "UPDATE RCT SET RCT_NAME = ? WHERE RCT_CODE = ?");
    m_insertStore = Statement(w, "INSERT INTO RCT (RCT_NAME, RCT_CODE) VALUES (?, ?)");
    m_renameDepot = Statement(w, "UPDATE HCT SET HCT_NAME = ? WHERE HCT_CODE = ? AND RCT_CODE = ?");
    m_insertDepot = Statement(w, "INSERT INTO HCT (HCT_NAME, HCT_CODE, RCT_CODE) VALUES (?, ?, ?)");
    m_renameCounter = Statement(w, "UPDATE POS SET POS_NAME = ? WHERE POS_ID = ? AND RCT_CODE = ?");
    m_insertCounter = Statement(w, "INSERT INTO POS (POS_NAME, POS_ID, RCT_CODE) VALUES (?, ?, ?)");

    sqlite3* r = m_readDb;
    m_storeName = Statement(r, "SELECT RCT_NAME FROM RCT WHERE RCT_CODE = ?");
    m_depotName = Statement(r, "SELECT HCT_NAME FROM HCT WHERE HCT_CODE = ? AND RCT_CODE = ?");
    m_counterName = Statement(r, "SELECT POS_NAME FROM POS WHERE POS_ID = ? AND RCT_CODE = ?");
    for (const char* table : DataTables) {
        m_counts.emplace_back(table, Statement(r, std::string("SELECT COUNT(*) FROM ") + table));
    }
}

// ---- Requests: checks that need no database, then a job for the write connection.

StoreReply SqliteStore::putSale(const SaleUpload& sale) {
    if (auto refusal = checkSale(sale)) {
        return refusedUpload(sale.TPE.size() > 4 ? &sale.TPE(4) : nullptr,
                             std::move(refusal->reply));
    }
    return submit(&sale, sale.client);
}

StoreReply SqliteStore::putCards(const TextTable& TCD, const std::string& client) {
    if (auto refusal = checkCards(TCD)) {
        return refusedUpload(TCD.rows() > 0 && TCD.slots() > 1 ? &TCD(0, 1) : nullptr,
                             std::move(refusal->reply));
    }
    return submit(&TCD, client);
}

StoreReply SqliteStore::putDeletedLines(const std::vector<DeletedLine>& lines) {
    if (auto answer = checkDeletedLines(lines)) {
        return *answer;
    }
    return submit(&lines);
}

StoreReply SqliteStore::refusedUpload(const std::string* storeCode, std::string reply) {
    if (storeCode && !storeCode->empty()) {
        submit(RefusalNote{storeCode});
    }
    return refused(std::move(reply));
}

StoreReply SqliteStore::reportVersion(const std::string& version, const std::string& posId,
                                      const std::string& storeCode) {
    return submit(VersionReport{&version, &posId, &storeCode});
}

void SqliteStore::addShop(const Shop& shop) {
    checkShop(shop, m_name);
    submit(&shop);
}

StoreReply SqliteStore::submit(JobInput input, std::string client) {
    Job job(input);
    job.client = std::move(client);
    std::unique_lock lock(m_mutex);
    m_queue.push_back(&job);
    // Nothing being written or flushed: commit and flush here, with whatever else is queued,
    // rather than pay a thread hand-off per step. Under load the writer thread commits: its
    // wake-up lets the batch grow, and a larger batch costs fewer pages per sale. Otherwise the
    // holder of the write connection or the flush that empties m_committed brings it in.
    if (!m_writing && m_committed.empty()) {
        if (m_flushing) {
            m_writerWake.notify_one();
        } else {
            commitQueued(lock);
            // A running flush may have begun before our commit ended: its end hands ours on.
            // Callers queued behind us mean load: the flusher thread goes on from one flush to
            // the next without a wake-up.
            if (!m_flushing) {
                if (m_queue.empty()) {
                    flushCommitted(lock);  // answers our job too
                } else {
                    m_flusherWake.notify_one();
                }
            }
        }
    }
    lock.unlock();
    job.wait();
    if (!job.error.empty()) {
        throw Error(errc::ProviderError, "central store " + m_name + ": " + job.error);
    }
    return std::move(job.reply);
}

// Commits every queued job as one batch, the lock released meanwhile, and hands the batch on to
// be flushed. The caller holds `lock` and has made sure nobody else writes.
void SqliteStore::commitQueued(std::unique_lock<std::mutex>& lock) {
    std::vector<Job*> batch;
    batch.swap(m_queue);
    m_writing = true;
    lock.unlock();
    commitBatch(batch);
    lock.lock();
    m_writing = false;
    m_committed.push_back(std::move(batch));
}

// ---- The writer and the flusher threads: they carry the uploads that arrive while a commit or a
// flush is running, so that under load the next commit overlaps the running flush.

void SqliteStore::writerLoop() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        // No commit ahead of the flushes by more than one: the uploads arriving meanwhile make
        // the next batch larger, and a larger batch costs fewer pages per sale.
        m_writerWake.wait(lock, [this] {
            return !m_writing && m_committed.empty() && (!m_queue.empty() || m_stopping);
        });
        if (m_queue.empty()) {
            break;  // stopping, and every job is committed
        }
        commitQueued(lock);
        if (!m_flushing) {
            m_flusherWake.notify_one();
        }
    }
    m_writerDone = true;
    m_flusherWake.notify_one();
}

void SqliteStore::flusherLoop() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_flusherWake.wait(
            lock, [this] { return !m_flushing && (!m_committed.empty() || m_writerDone); });
        if (m_committed.empty()) {
            return;
        }
        flushCommitted(lock);
    }
}

// One fsync for every batch committed so far, then their answers. Refusals and duplicates wait
// for it too: a duplicate may point at a sale of an earlier batch that is not yet on disk. Called
// and returns with the lock held; drops it meanwhile.
void SqliteStore::flushCommitted(std::unique_lock<std::mutex>& lock) noexcept {
    m_flushing = true;
    std::vector<std::vector<Job*>> batches;
    batches.swap(m_committed);
    if (!m_writing && (!m_queue.empty() || m_stopping)) {
        m_writerWake.notify_one();  // the jobs queued behind the commit just taken
    }
    std::string failed = m_broken;
    lock.unlock();
    if (failed.empty()) {
        failed = flushWal();
    }
    lock.lock();
    if (!failed.empty() && !m_isBroken) {
        m_broken = "the store stopped after a failed flush: " + failed;
        m_isBroken = true;
    }
    m_flushing = false;
    if (!m_committed.empty()) {
        m_flusherWake.notify_one();  // committed during this flush, perhaps after it began
    }
    lock.unlock();
    for (auto& batch : batches) {
        for (Job* job : batch) {
            if (!failed.empty() && job->error.empty()) {
                job->reply = {};
                job->error = failed;
            }
            job->answer();  // the job may be gone after this
        }
    }
    lock.lock();
}

// Brings the WAL, with every frame committed so far, to disk. A WAL file that SQLite has replaced
// since (possible only after a complete checkpoint) holds nothing of ours: its frames are in the
// database file, which is flushed then as well.
std::string SqliteStore::flushWal() {
#ifdef _WIN32
    return {};  // synchronous FULL has flushed at the commit
#else
    auto reason = [](const std::string& what, const std::string& path) {
        return "cannot " + what + " " + path + ": " + std::strerror(errno);
    };
    struct stat current {};
    struct stat held {};
    bool same = m_walFd >= 0 && ::stat(m_walPath.c_str(), &current) == 0 &&
                ::fstat(m_walFd, &held) == 0 && current.st_ino == held.st_ino &&
                current.st_dev == held.st_dev;
    if (!same) {
        if (m_dbFd < 0 && (m_dbFd = ::open(m_dbPath.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
            return reason("open", m_dbPath);
        }
        if (::fsync(m_dbFd) != 0) {
            return reason("flush", m_dbPath);
        }
        if (m_walFd >= 0) {
            ::close(m_walFd);
        }
        m_walFd = ::open(m_walPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_walFd < 0) {
            return reason("open", m_walPath);
        }
        // A new WAL file is found again after a power cut only when its folder entry is on disk.
        std::string folder = std::filesystem::path(m_walPath).parent_path().string();
        int folderFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_CLOEXEC);
        if (folderFd < 0) {
            return reason("open", folder);
        }
        int synced = ::fsync(folderFd);
        int error = errno;
        ::close(folderFd);
        errno = error;
        if (synced != 0) {
            return reason("flush", folder);
        }
    }
    if (::fdatasync(m_walFd) != 0) {
        return reason("flush", m_walPath);
    }
    return {};
#endif
}

void SqliteStore::commitBatch(std::vector<Job*>& batch) noexcept {
    auto failAll = [&](const std::string& cause) {
        if (!sqlite3_get_autocommit(m_writeDb)) {
            sqlite3_exec(m_writeDb, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        for (Job* job : batch) {
            job->reply = {};
            job->error = cause;
        }
    };
    if (m_isBroken) {
        std::lock_guard lock(m_mutex);
        failAll(m_broken);
        return;
    }
    m_now = m_clock.now().toDateTimeText();
    try {
        m_begin.run();
        // Read afresh in every batch, under the write lock: nothing else needs to know them.
        m_nextSaleId = nextId(m_maxSaleId);
        m_nextCardId = nextId(m_maxCardId);
        m_nextDeletedId = nextId(m_maxDeletedId);
    } catch (const SqliteFailure& f) {
        failAll("cannot begin the transaction: " + f.message);
        return;
    }
    for (Job* job : batch) {
        try {
            m_savepoint.run();
            runJob(*job);
            if (!job->reply.accepted) {
                m_rollbackTo.run();
            }
            m_release.run();
            if (job->conflict) {
                const Job::Conflict& c = *job->conflict;
                Statement& r = m_insertConflict;
                r.text(1, c.kind);
                r.text(2, c.store);
                r.text(3, c.key);
                r.text(4, c.held);
                r.text(5, c.sent);
                r.text(6, m_now);
                r.text(7, job->client);
                r.run();
            }
            if (job->event) {
                Statement& e = m_insertEvent;
                e.text(1, *job->eventStore);
                e.text(2, std::string_view(&job->event, 1));
                e.text(3, m_now);
                e.run();
            }
        } catch (const SqliteFailure& f) {
            job->reply = {};
            job->error = f.message;
            // Only this job is lost when its savepoint can be undone; else the whole batch is.
            bool recovered = false;
            if (!sqlite3_get_autocommit(m_writeDb)) {
                try {
                    m_rollbackTo.run();
                    m_release.run();
                    recovered = true;
                } catch (const SqliteFailure&) {
                }
            }
            if (!recovered) {
                failAll("the transaction was lost: " + f.message);
                return;
            }
        }
    }
    try {
        m_commit.run();
        ++m_commits;
    } catch (const SqliteFailure& f) {
        failAll("cannot commit: " + f.message);
    }
}

sqlite3_int64 SqliteStore::nextId(Statement& maxId) {
    Reset reset(maxId);
    return maxId.row() ? maxId.columnInteger(0) + 1 : 1;
}

void SqliteStore::runJob(Job& job) {
    std::visit(
        [&](auto input) {
            using Input = decltype(input);
            if constexpr (std::is_same_v<Input, const SaleUpload*>) {
                runSale(job, *input);
            } else if constexpr (std::is_same_v<Input, const TextTable*>) {
                runCards(job, *input);
            } else if constexpr (std::is_same_v<Input, const std::vector<DeletedLine>*>) {
                runDeletedLines(job, *input);
            } else if constexpr (std::is_same_v<Input, VersionReport>) {
                runVersion(job, input);
            } else if constexpr (std::is_same_v<Input, const Shop*>) {
                runShop(job, *input);
            } else {
                runRefusalNote(job, input);
            }
        },
        job.input);
}

bool SqliteStore::storeKnown(const std::string& storeCode) {
    Reset reset(m_findStore);
    m_findStore.text(1, storeCode);
    return m_findStore.row();
}

void SqliteStore::runSale(Job& job, const SaleUpload& sale) {
    const std::string& store = sale.TPE(4);
    if (!storeKnown(store)) {
        job.reply = refused(unknownStore(store));
        return;
    }
    const bool byKey = !sale.saleKey.empty();
    const sqlite3_int64 id = m_nextSaleId++;

    Statement& h = m_insertHeader;
    h.integer(1, id);
    h.text(2, store);
    h.text(3, byKey ? "K" : "C");
    h.text(4, byKey ? sale.saleKey : sale.TPE(21));
    h.text(5, byKey ? std::string_view("") : std::string_view(sale.TPE(0)));
    h.text(6, sale.saleKey);
    h.text(7, sale.method);
    h.text(8, sale.markedY ? "Y" : "");
    h.text(9, m_now);
    const std::string digest = saleDigest(sale);
    h.text(10, digest);
    h.slots(11, sale.TPE.elements(), TpeColumns);
    if (!h.run(true)) {
        job.reply = refused(duplicate(1));
        Statement& held = m_heldSaleDigest;
        held.text(1, store);
        held.text(2, byKey ? "K" : "C");
        held.text(3, byKey ? sale.saleKey : sale.TPE(21));
        held.text(4, byKey ? std::string_view("") : std::string_view(sale.TPE(0)));
        Reset reset(held);
        // A sale stored before digests were kept has none: whether it differs is unknown.
        if (held.row() && !held.columnIsNull(0) && held.columnText(0) != digest) {
            job.conflict = Job::Conflict{"sale", store,
                                         byKey ? sale.saleKey : sale.TPE(21) + "/" + sale.TPE(0),
                                         held.columnText(0), digest};
            job.reply.conflict = true;
        }
        job.event = job.reply.conflict ? 'R' : 'D';
        job.eventStore = &store;
        return;
    }
    if (sale.TRT.size() > 0) {
        m_insertRt.integer(1, id);
        m_insertRt.slots(2, sale.TRT.elements(), TrtColumns);
        m_insertRt.run();
    }
    auto rows = [&](Statement& insert, const TextTable& table, std::size_t columns) {
        for (std::size_t row = 0; row < table.rows(); ++row) {
            insert.integer(1, id);
            insert.integer(2, static_cast<sqlite3_int64>(row));
            insert.slots(3, table, row, columns);
            insert.run();
        }
    };
    rows(m_insertLine, sale.TPS, TpsColumns);
    rows(m_insertAc, sale.TAC, TacColumns);
    if (sale.TPSN) {
        rows(m_insertGuest, *sale.TPSN, TpsnColumns);
    }
    if (sale.TDLV) {
        m_insertDlv.integer(1, id);
        m_insertDlv.slots(2, sale.TDLV->elements(), TdlvColumns);
        m_insertDlv.run();
    }
    job.reply = {true, ""};
}

void SqliteStore::runCards(Job& job, const TextTable& TCD) {
    const std::string* checkedStore = nullptr;  // a batch is mostly one store's
    for (std::size_t row = 0; row < TCD.rows(); ++row) {
        const std::string& store = TCD(row, 1);
        if (!checkedStore || *checkedStore != store) {
            if (!storeKnown(store)) {
                job.reply = refused(unknownStore(store));
                return;
            }
            checkedStore = &store;
        }
        Statement& c = m_insertCard;
        c.integer(1, m_nextCardId++);
        c.text(2, store);
        c.text(3, m_now);
        const std::string digest = cardDigest(TCD, row);
        c.text(4, digest);
        c.slots(5, TCD, row, TcdColumns);
        // A row held already, or one repeating an earlier row of this batch.
        if (!c.run(true)) {
            job.reply = refused(duplicate(row));
            Statement& held = m_heldCardDigest;
            held.text(1, store);
            held.text(2, TCD(row, 0));
            held.text(3, TCD(row, 2));
            held.text(4, TCD(row, 12));
            Reset reset(held);
            if (held.row() && !held.columnIsNull(0) && held.columnText(0) != digest) {
                job.conflict = Job::Conflict{"card", store,
                                             TCD(row, 0) + "/" + TCD(row, 2) + "/" + TCD(row, 12),
                                             held.columnText(0), digest};
                job.reply.conflict = true;
            }
            job.event = job.reply.conflict ? 'R' : 'D';
            job.eventStore = &store;
            return;
        }
    }
    job.reply = {true, ""};
}

namespace {

// A deleted line's nine values from parameter `first` on, in the order of the DELPSS13 columns.
void bindDeletedLine(Statement& st, int first, const DeletedLine& line) {
    st.text(first, line.date);
    st.text(first + 1, line.barcode);
    st.text(first + 2, line.name);
    st.text(first + 3, line.unit);
    st.real(first + 4, line.price);
    st.real(first + 5, line.quantity);
    st.real(first + 6, line.amount);
    st.text(first + 7, line.posId);
    st.text(first + 8, line.storeCode);
}

}  // namespace

void SqliteStore::runDeletedLines(Job& job, const std::vector<DeletedLine>& lines) {
    // A deleted line carries no identifier of its own: it is known by all it holds (its time to
    // the second, item, unit, price, quantity, amount, counter and store). A batch sent again
    // after its answer was lost holds as many of each line as the store has already: nothing is
    // stored twice. Identical lines within one batch are each kept.
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
    std::map<LineKey, long> toStore;  // copies still to store, counted at a line's first sight
    const std::string* checkedStore = nullptr;
    for (const DeletedLine& line : lines) {
        if (!checkedStore || *checkedStore != line.storeCode) {
            if (!storeKnown(line.storeCode)) {
                job.reply = refused(unknownStore(line.storeCode));
                return;
            }
            checkedStore = &line.storeCode;
        }
        const LineKey key = keyOf(line);
        auto [left, firstSight] = toStore.try_emplace(key, 0);
        if (firstSight) {
            Statement& c = m_countDeleted;
            bindDeletedLine(c, 1, line);
            Reset reset(c);
            const long held = c.row() ? static_cast<long>(c.columnInteger(0)) : 0;
            left->second = std::max(0L, inBatch[key] - held);
        }
        if (left->second == 0) {
            continue;
        }
        --left->second;
        Statement& d = m_insertDeleted;
        d.integer(1, m_nextDeletedId++);
        bindDeletedLine(d, 2, line);
        d.run();
    }
    job.reply = {true, ""};
}

void SqliteStore::runVersion(Job& job, const VersionReport& report) {
    Statement& u = m_updateVersion;
    u.text(1, *report.version);
    u.text(2, m_now);
    u.text(3, *report.posId);
    u.text(4, *report.storeCode);
    u.run();
    if (sqlite3_changes(m_writeDb) == 0) {
        job.reply = refused("미등록 카운터: " + *report.storeCode + "/" + *report.posId);
        return;
    }
    job.reply = {true, ""};
}

void SqliteStore::runShop(Job& job, const Shop& shop) {
    // Rename when the row is there, else insert: one writer at a time, so nothing comes between.
    auto put = [&](Statement& rename, Statement& insert,
                   std::initializer_list<const std::string*> values) {
        int index = 1;
        for (const std::string* value : values) {
            rename.text(index, *value);
            insert.text(index, *value);
            ++index;
        }
        rename.run();
        if (sqlite3_changes(m_writeDb) == 0) {
            insert.run();
        }
    };
    put(m_renameStore, m_insertStore, {&shop.storeName, &shop.storeCode});
    if (!shop.depotCode.empty()) {
        put(m_renameDepot, m_insertDepot, {&shop.depotName, &shop.depotCode, &shop.storeCode});
    }
    if (!shop.posId.empty()) {
        put(m_renameCounter, m_insertCounter, {&shop.posName, &shop.posId, &shop.storeCode});
    }
    job.reply = {true, ""};
}

void SqliteStore::runRefusalNote(Job& job, const RefusalNote& note) {
    if (storeKnown(*note.storeCode)) {
        job.event = 'R';
        job.eventStore = note.storeCode;
    }
    job.reply = {true, ""};
}

// ---- Readers.

std::optional<std::string> SqliteStore::lookUp(Statement& statement,
                                               std::initializer_list<const std::string*> keys) {
    std::lock_guard lock(m_readMutex);
    try {
        Reset reset(statement);
        int index = 1;
        for (const std::string* key : keys) {
            statement.text(index++, *key);
        }
        if (!statement.row()) {
            return std::nullopt;
        }
        return statement.columnText(0);
    } catch (const SqliteFailure& f) {
        throw failure("look-up", f);
    }
}

std::optional<std::string> SqliteStore::storeName(const std::string& storeCode) {
    return lookUp(m_storeName, {&storeCode});
}

std::optional<std::string> SqliteStore::depotName(const std::string& depotCode,
                                                  const std::string& storeCode) {
    return lookUp(m_depotName, {&depotCode, &storeCode});
}

std::optional<std::string> SqliteStore::counterName(const std::string& posId,
                                                    const std::string& storeCode) {
    return lookUp(m_counterName, {&posId, &storeCode});
}

std::vector<std::pair<std::string, long>> SqliteStore::tableCounts() {
    std::lock_guard lock(m_readMutex);
    std::vector<std::pair<std::string, long>> counts;
    try {
        // One read transaction, so that the counts belong together.
        exec(m_readDb, "BEGIN");
        for (auto& [table, statement] : m_counts) {
            Reset reset(statement);
            counts.emplace_back(
                table, statement.row() ? static_cast<long>(statement.columnInteger(0)) : 0);
        }
        exec(m_readDb, "COMMIT");
    } catch (const SqliteFailure& f) {
        sqlite3_exec(m_readDb, "ROLLBACK", nullptr, nullptr, nullptr);
        throw failure("counting rows", f);
    }
    return counts;
}

std::vector<std::pair<std::string, long>> SqliteStore::storeCounts(const std::string& storeCode) {
    std::lock_guard lock(m_readMutex);
    std::vector<std::pair<std::string, long>> counts;
    for (const auto& [what, table] : {std::pair<const char*, const char*>{"sales", "SALE_HDR"},
                                      {"card approvals", "CARD_APR"},
                                      {"deleted lines", "DELPSS13"}}) {
        try {
            Statement count(m_readDb,
                            std::string("SELECT COUNT(*) FROM ") + table + " WHERE RCT_CODE = ?");
            count.text(1, storeCode);
            Reset reset(count);
            counts.emplace_back(what, count.row() ? static_cast<long>(count.columnInteger(0)) : 0);
        } catch (const SqliteFailure& f) {
            throw failure("counting rows", f);
        }
    }
    return counts;
}

std::vector<ShopActivity> SqliteStore::shopActivity(const std::string& today, int days) {
    const auto [dayIndex, from, until] = activityPeriod(today, days, m_name);

    std::lock_guard lock(m_readMutex);
    std::vector<ShopActivity> shops;
    try {
        exec(m_readDb, "BEGIN");  // one snapshot for the whole table
        sqlite3* r = m_readDb;
        Statement stores(r, "SELECT RCT_CODE, RCT_NAME FROM RCT ORDER BY RCT_CODE");
        Statement lastSale(r, "SELECT MAX(RECEIVED_AT) FROM SALE_HDR WHERE RCT_CODE = ?");
        Statement lastCard(r, "SELECT MAX(RECEIVED_AT) FROM CARD_APR WHERE RCT_CODE = ?");
        Statement version(r,
                          "SELECT VELDON_VER, VELDON_VER_SDATE FROM POS WHERE RCT_CODE = ? AND "
                          "VELDON_VER_SDATE IS NOT NULL ORDER BY VELDON_VER_SDATE DESC LIMIT 1");
        auto perDay = [&](const char* table) {
            return Statement(r, std::string("SELECT SUBSTR(RECEIVED_AT, 1, 10), COUNT(*) FROM ") +
                                    table +
                                    " WHERE RCT_CODE = ? AND RECEIVED_AT >= ? AND RECEIVED_AT < ? "
                                    "GROUP BY SUBSTR(RECEIVED_AT, 1, 10)");
        };
        Statement salesPerDay = perDay("SALE_HDR"), cardsPerDay = perDay("CARD_APR");
        Statement events(r,
                         "SELECT KIND, COUNT(*) FROM UPLOAD_EVENT WHERE RCT_CODE = ? AND "
                         "RECEIVED_AT >= ? AND RECEIVED_AT < ? GROUP BY KIND");

        auto latest = [](Statement& st, const std::string& code) {
            Reset reset(st);
            st.text(1, code);
            return st.row() && !st.columnIsNull(0) ? st.columnText(0) : std::string();
        };
        auto counts = [&](Statement& st, const std::string& code, auto&& take) {
            Reset reset(st);
            st.text(1, code);
            st.text(2, from);
            st.text(3, until);
            while (st.row()) {
                take(st.columnText(0), static_cast<long>(st.columnInteger(1)));
            }
        };
        Reset resetStores(stores);
        while (stores.row()) {
            ShopActivity& shop = shops.emplace_back();
            shop.storeCode = stores.columnText(0);
            shop.storeName = stores.columnIsNull(1) ? std::string() : stores.columnText(1);
            shop.lastUpload =
                std::max(latest(lastSale, shop.storeCode), latest(lastCard, shop.storeCode));
            {
                Reset reset(version);
                version.text(1, shop.storeCode);
                if (version.row()) {
                    shop.version = version.columnIsNull(0) ? std::string() : version.columnText(0);
                    shop.versionReportedAt = version.columnText(1);
                }
            }
            shop.salesPerDay.assign(static_cast<std::size_t>(days), 0);
            shop.cardsPerDay.assign(static_cast<std::size_t>(days), 0);
            for (auto [st, into] : {std::pair{&salesPerDay, &shop.salesPerDay},
                                    std::pair{&cardsPerDay, &shop.cardsPerDay}}) {
                counts(*st, shop.storeCode, [&](const std::string& date, long n) {
                    if (auto at = dayIndex.find(date); at != dayIndex.end()) {
                        (*into)[at->second] = n;
                    }
                });
            }
            counts(events, shop.storeCode, [&](const std::string& kind, long n) {
                (kind == "D" ? shop.duplicates : shop.refusals) += n;
            });
        }
        exec(m_readDb, "COMMIT");
    } catch (const SqliteFailure& f) {
        sqlite3_exec(m_readDb, "ROLLBACK", nullptr, nullptr, nullptr);
        throw failure("reading the shops' activity", f);
    }
    return shops;
}

}  // namespace

std::unique_ptr<CentralStore> openSqliteStore(const std::filesystem::path& file) {
    return std::make_unique<SqliteStore>(file);
}

long sqliteStoreCommits(CentralStore& store) {
    auto* sqliteStore = dynamic_cast<SqliteStore*>(&store);
    return sqliteStore ? sqliteStore->commits() : 0;
}

}  // namespace veldon::central
