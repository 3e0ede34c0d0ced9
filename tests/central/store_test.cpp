// The central stores on real databases: a SQLite file, and a database of its own on the MariaDB
// server that VELDON_TEST_MARIADB names (HOST:PORT, as scripts/mariadb-test-server.sh prints it;
// the MariaDB cases are skipped without it). What a store keeps of an upload, the duplicate rules,
// all-or-nothing batches; the SQLite store's durability and shared commits; and two veldon-central
// processes uploading the same sales into one MariaDB database at once.
#include <gtest/gtest.h>
#include <mysql.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <thread>

#include "central/mariadbstore.h"
#include "central/sqlitestore.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "remote/dataspace.h"
#include "tests/support/tempdir.h"

namespace veldon::central {
namespace {

using Row = std::vector<std::optional<std::string>>;

// Reads the file through a connection of its own, as an administrator would.
std::vector<Row> query(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(file.string().c_str(), &db), SQLITE_OK);
    std::vector<Row> rows;
    auto collect = [](void* to, int n, char** values, char**) {
        Row& row = static_cast<std::vector<Row>*>(to)->emplace_back();
        for (int c = 0; c < n; ++c) {
            row.push_back(values[c] ? std::optional<std::string>(values[c]) : std::nullopt);
        }
        return 0;
    };
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), collect, &rows, nullptr), SQLITE_OK) << sql;
    sqlite3_close(db);
    return rows;
}

const char* const NoServer =
    "VELDON_TEST_MARIADB is not set (HOST:PORT of a server that scripts/mariadb-test-server.sh "
    "started): the MariaDB store is not tested";

// The test server, with the account its start script makes; none when not configured.
std::optional<MariadbTarget> testServer() {
    const char* address = std::getenv("VELDON_TEST_MARIADB");
    if (!address || !*address) {
        return std::nullopt;
    }
    MariadbTarget server = parseMariadbTarget("mariadb://veldon@" + std::string(address) + "/x");
    server.password = "veldon";
    return server;
}

// A database of its own on the test server, dropped afterwards.
class ScratchDatabase {
public:
    explicit ScratchDatabase(MariadbTarget server) : m_target(std::move(server)) {
        static std::atomic<int> next{0};
        m_target.database = "veldon_t" + std::to_string(::getpid()) + "_" + std::to_string(next++) +
                            "_" + std::to_string(std::time(nullptr));
    }
    ~ScratchDatabase() { run("DROP DATABASE IF EXISTS " + m_target.database, false); }
    ScratchDatabase(const ScratchDatabase&) = delete;
    ScratchDatabase& operator=(const ScratchDatabase&) = delete;

    const MariadbTarget& target() const { return m_target; }
    std::string address() const { return describeTarget(m_target); }
    // Runs one statement through a connection of its own, as an administrator would.
    std::vector<Row> query(const std::string& sql) { return run(sql, true); }

private:
    std::vector<Row> run(const std::string& sql, bool inDatabase) {
        MYSQL* db = mysql_init(nullptr);
        std::vector<Row> rows;
        if (!mysql_real_connect(db, m_target.host.c_str(), m_target.user.c_str(),
                                m_target.password.c_str(),
                                inDatabase ? m_target.database.c_str() : nullptr,
                                static_cast<unsigned>(m_target.port), nullptr, 0) ||
            mysql_set_character_set(db, "utf8mb4") != 0 ||
            mysql_real_query(db, sql.data(), sql.size()) != 0) {
            ADD_FAILURE() << sql << ": " << mysql_error(db);
        } else if (MYSQL_RES* result = mysql_store_result(db)) {
            const unsigned columns = mysql_num_fields(result);
            while (MYSQL_ROW values = mysql_fetch_row(result)) {
                const unsigned long* lengths = mysql_fetch_lengths(result);
                Row& row = rows.emplace_back();
                for (unsigned c = 0; c < columns; ++c) {
                    row.push_back(
                        values[c] ? std::optional<std::string>(std::string(values[c], lengths[c]))
                                  : std::nullopt);
                }
            }
            mysql_free_result(result);
        }
        mysql_close(db);
        return rows;
    }

    MariadbTarget m_target;
};

// Every slot filled with a text of its own.
TextArray filled(std::size_t size, const std::string& tag) {
    TextArray array(size);
    for (std::size_t slot = 0; slot < size; ++slot) {
        array(slot) = tag + "-" + std::to_string(slot);
    }
    return array;
}
TextTable filled(std::size_t rows, std::size_t slots, const std::string& tag) {
    TextTable table(rows, slots);
    for (std::size_t row = 0; row < rows; ++row) {
        for (std::size_t slot = 0; slot < slots; ++slot) {
            table(row, slot) = tag + std::to_string(row) + "-" + std::to_string(slot);
        }
    }
    return table;
}

// A restaurant sale with delivery.
SaleUpload restaurantSale(const std::string& store, const std::string& saleId,
                          const std::string& saleKey) {
    SaleUpload sale{.method = "PutPSM13_SIN",
                    .TPE = filled(24, "tpe"),
                    .TPS = filled(3, 20, "tps"),
                    .TRT = filled(8, "trt"),
                    .TPSN = filled(1, 7, "psn"),
                    .TAC = filled(2, 26, "tac"),
                    .TDLV = filled(11, "dlv"),
                    .saleKey = saleKey,
                    .client = {}};
    sale.TPE(0) = saleId;
    sale.TPE(4) = store;
    sale.TPE(7) = "소비자";
    sale.TPE(21) = "01";
    sale.TPE(22) = "";  // sent empty, unlike a slot not sent
    sale.TPS(1, 4) = "김치찌개 '매운맛'";
    return sale;
}

// A retail sale: smaller arrays, no guests, no delivery.
SaleUpload retailSale(const std::string& store, const std::string& saleId,
                      const std::string& saleKey) {
    SaleUpload sale{.method = "PutPSM13",
                    .TPE = filled(22, "tpe"),
                    .TPS = filled(1, 19, "tps"),
                    .TRT = TextArray(8),
                    .TPSN = {},
                    .TAC = TextTable(1, 26),
                    .TDLV = {},
                    .saleKey = saleKey,
                    .markedY = true,
                    .client = {}};
    sale.TPE(0) = saleId;
    sale.TPE(4) = store;
    sale.TPE(21) = "01";
    return sale;
}

TextTable cards(const std::string& store, std::initializer_list<std::string> approvals) {
    TextTable TCD = filled(approvals.size(), 13, "tcd");
    std::size_t row = 0;
    for (const std::string& approval : approvals) {
        TCD(row, 0) = "2403050001";
        TCD(row, 1) = store;
        TCD(row, 2) = "B" + std::to_string(row);
        TCD(row, 12) = approval;
        ++row;
    }
    return TCD;
}

const std::string Dup = ":중복DATA";

// A store of the kind named, "SQLite" or "MariaDB", with two shops, and a way to read its tables.
class StoreFixture : public ::testing::Test {
protected:
    explicit StoreFixture(std::string kind) : m_kind(std::move(kind)) {}

    void SetUp() override {
        if (m_kind == "MariaDB") {
            const std::optional<MariadbTarget> server = testServer();
            if (!server) {
                GTEST_SKIP() << NoServer;
            }
            m_database.emplace(*server);
        }
        store = open();
        store->addShop({"S0001", "본점", "H01", "본창고", "01", "카운터1"});
        store->addShop({"S0002", "역전점", "H01", "역전창고", "02", "카운터2"});
    }

    std::unique_ptr<CentralStore> open() {
        return m_database ? openMariadbStore(m_database->target()) : openSqliteStore(file());
    }
    std::filesystem::path file() const { return dir / "central.db"; }
    std::vector<Row> query(const std::string& sql) {
        return m_database ? m_database->query(sql) : central::query(file(), sql);
    }
    long count(const std::string& table) {
        return std::stol(query("SELECT COUNT(*) FROM " + table).at(0).at(0).value());
    }

    const std::string m_kind;
    test::TempDir dir;
    std::optional<ScratchDatabase> m_database;
    std::unique_ptr<CentralStore> store;
};

// The store's promises, on each kind of store.
class StoreTest : public StoreFixture, public ::testing::WithParamInterface<const char*> {
protected:
    StoreTest() : StoreFixture(GetParam()) {}
};

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values("SQLite", "MariaDB"),
                         [](const auto& test) { return std::string(test.param); });

// What only the embedded store does: its files, its shared commits.
class SqliteStoreTest : public StoreFixture {
protected:
    SqliteStoreTest() : StoreFixture("SQLite") {}
};

TEST_P(StoreTest, RestaurantSaleKeepsEverySlotAsReceived) {
    const SaleUpload sale = restaurantSale("S0001", "2403050001", "K-1");
    EXPECT_TRUE(store->putSale(sale).accepted);

    std::string columns = "SALE_ID, RCT_CODE, SALE_KEY, METHOD, MARK_Y";
    for (int slot = 0; slot < 24; ++slot) {
        columns += (slot < 10 ? ", TPE_0" : ", TPE_") + std::to_string(slot);
    }
    auto header = query("SELECT " + columns + ", RECEIVED_AT FROM SALE_HDR");
    ASSERT_EQ(header.size(), 1u);
    const std::string id = *header[0][0];
    Row expected = {id, "S0001", "K-1", "PutPSM13_SIN", ""};
    expected.insert(expected.end(), sale.TPE.elements().begin(), sale.TPE.elements().end());
    EXPECT_EQ(Row(header[0].begin(), header[0].end() - 1), expected);
    EXPECT_TRUE(
        std::regex_match(*header[0].back(), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));

    // The children hang off the header, rows in array order, every slot in place.
    auto arrayRows = [&](const TextArray& array) {
        Row row = {id};
        row.insert(row.end(), array.elements().begin(), array.elements().end());
        return std::vector<Row>{row};
    };
    auto tableRows = [&](const TextTable& table) {
        std::vector<Row> rows;
        for (std::size_t r = 0; r < table.rows(); ++r) {
            rows.push_back({id, std::to_string(r)});
            for (std::size_t slot = 0; slot < table.slots(); ++slot) {
                rows.back().push_back(table(r, slot));
            }
        }
        return rows;
    };
    const std::pair<const char*, std::vector<Row>> children[] = {
        {"SALE_RT", arrayRows(sale.TRT)},    {"SALE_LINE", tableRows(sale.TPS)},
        {"SALE_AC", tableRows(sale.TAC)},    {"SALE_GUEST", tableRows(*sale.TPSN)},
        {"SALE_DLV", arrayRows(*sale.TDLV)},
    };
    for (const auto& [table, rows] : children) {
        EXPECT_EQ(query(std::string("SELECT * FROM ") + table + " ORDER BY 1, 2"), rows) << table;
    }
}

TEST_P(StoreTest, SaleWithAKeyIsHeldOncePerStoreAndKey) {
    ASSERT_TRUE(store->putSale(restaurantSale("S0001", "1", "K-1")).accepted);

    // The key decides, not the content; other content under a held key is recorded as a
    // conflict, the same content sent again is not.
    SaleUpload other = restaurantSale("S0001", "2", "K-1");
    other.client = "127.0.0.7";
    const StoreReply again = store->putSale(other);
    EXPECT_EQ(again.reply, "1" + Dup);
    EXPECT_TRUE(again.conflict);
    EXPECT_FALSE(store->putSale(restaurantSale("S0001", "1", "K-1")).conflict);
    EXPECT_EQ(count("SALE_HDR"), 1);
    EXPECT_EQ(query("SELECT KIND, RCT_CODE, UPLOAD_KEY, CLIENT, HELD_DIGEST <> SENT_DIGEST FROM "
                    "CONFLICT"),
              (std::vector<Row>{{"sale", "S0001", "K-1", "127.0.0.7", "1"}}));

    EXPECT_TRUE(store->putSale(restaurantSale("S0002", "1", "K-1")).accepted);
    EXPECT_TRUE(store->putSale(restaurantSale("S0001", "1", "K-2")).accepted);
    EXPECT_EQ(count("SALE_HDR"), 3);
}

TEST_P(StoreTest, SaleWithoutAKeyIsHeldOncePerStoreCounterAndSaleId) {
    ASSERT_TRUE(store->putSale(retailSale("S0001", "1001", "")).accepted);
    // Slots a retail sale does not send stay NULL.
    EXPECT_EQ(query("SELECT TPE_21, TPE_22, TPE_23, MARK_Y, METHOD FROM SALE_HDR")[0],
              (Row{"01", std::nullopt, std::nullopt, "Y", "PutPSM13"}));
    EXPECT_EQ(query("SELECT TPS_18, TPS_19 FROM SALE_LINE")[0], (Row{"tps0-18", std::nullopt}));
    SaleUpload sameCounter = retailSale("S0001", "1001", "");
    sameCounter.TPE(2) = "other content";
    EXPECT_EQ(store->putSale(sameCounter).reply, "1" + Dup);

    SaleUpload otherCounter = retailSale("S0001", "1001", "");
    otherCounter.TPE(21) = "02";
    EXPECT_TRUE(store->putSale(otherCounter).accepted);
    EXPECT_TRUE(store->putSale(retailSale("S0002", "1001", "")).accepted);
    // A keyed sale never collides with an unkeyed one.
    EXPECT_TRUE(store->putSale(retailSale("S0001", "1001", "1001")).accepted);
    EXPECT_EQ(count("SALE_HDR"), 4);
}

TEST_P(StoreTest, SaleIsRefusedWholeWhenStoreUnknownOrArraysDoNotFit) {
    EXPECT_EQ(store->putSale(restaurantSale("S9999", "1", "K-1")).reply, "미등록 가맹점: S9999");

    SaleUpload shortHeader = retailSale("S0001", "1", "K-1");
    shortHeader.TPE.resize(21);
    shortHeader.TPE(4) = "S0001";
    EXPECT_EQ(store->putSale(shortHeader).reply, "TPE 항목 부족: 22개 필요, 21개 수신");
    SaleUpload wideLines = restaurantSale("S0001", "1", "K-1");
    wideLines.TPS.resize(1, 21);
    EXPECT_EQ(store->putSale(wideLines).reply, "TPS 항목 초과: 20개까지 저장, 21개 수신");
    EXPECT_FALSE(store->putSale(restaurantSale("S0001", "1", std::string(101, 'k'))).accepted);

    EXPECT_EQ(count("SALE_HDR") + count("SALE_LINE"), 0);
}

TEST_F(SqliteStoreTest, UploadsWaitingTogetherShareOneCommitAndAreStoredOnce) {
    constexpr int Threads = 64;
    std::vector<StoreReply> replies(Threads + 2);
    long before = 0;
    {
        std::vector<std::jthread> threads;
        // A second connection holds the write lock, so that uploads queue up meanwhile.
        sqlite3* lock = nullptr;
        ASSERT_EQ(sqlite3_open(file().c_str(), &lock), SQLITE_OK);
        sqlite3_exec(lock, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        threads.emplace_back([&] { store->putSale(retailSale("S0001", "0", "A")); });
        // Time for the writer to take this one and block; the others queue together.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        before = sqliteStoreCommits(*store);
        for (int i = 0; i < Threads + 2; ++i) {
            threads.emplace_back([&, i] {
                // The last two are one sale sent twice.
                replies[i] =
                    store->putSale(i < Threads ? restaurantSale("S0001", std::to_string(i), "")
                                               : retailSale("S0001", "2", "B"));
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_close(lock);  // rolls back and lets the writer go before the threads are joined
    }
    EXPECT_NE(replies[Threads].accepted, replies[Threads + 1].accepted);
    EXPECT_EQ((replies[Threads].accepted ? replies[Threads + 1] : replies[Threads]).reply,
              "1" + Dup);
    EXPECT_EQ(count("SALE_HDR"), Threads + 2);
    EXPECT_LE(sqliteStoreCommits(*store) - before, 3);
}

TEST_P(StoreTest, CardBatchIsStoredWholeOrNotAtAll) {
    ASSERT_TRUE(store->putCards(cards("S0001", {"A1", "A2", "A3"}), "127.0.0.1").accepted);
    auto stored = query(
        "SELECT RCT_CODE, TCD_00, TCD_01, TCD_02, TCD_05, TCD_12 "
        "FROM CARD_APR ORDER BY TCD_12");
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[2], (Row{"S0001", "2403050001", "S0001", "B2", "tcd2-5", "A3"}));

    const StoreReply again = store->putCards(cards("S0001", {"A1", "A2", "A3"}), "127.0.0.1");
    EXPECT_EQ(again.reply, "0" + Dup);
    EXPECT_FALSE(again.conflict);  // the same batch sent again
    TextTable changed = cards("S0001", {"A1"});
    changed(0, 10) = "99999";  // another amount under a held approval
    EXPECT_TRUE(store->putCards(changed, "127.0.0.8").conflict);
    EXPECT_EQ(query("SELECT KIND, UPLOAD_KEY, CLIENT FROM CONFLICT")[0],
              (Row{"card", "2403050001/B0/A1", "127.0.0.8"}));

    // Row 1 is held already (same bill B1, approval A2): rows 0 and 2 must not slip in.
    EXPECT_EQ(store->putCards(cards("S0001", {"N1", "A2", "N3"}), "127.0.0.1").reply, "1" + Dup);
    // A batch repeating its own row 0.
    TextTable repeated = cards("S0001", {"R1", "R2"});
    repeated(1, 2) = repeated(0, 2);
    repeated(1, 12) = repeated(0, 12);
    EXPECT_EQ(store->putCards(repeated, "127.0.0.1").reply, "1" + Dup);
    // A row of an unknown store, no rows, rows too short.
    TextTable mixed = cards("S0001", {"M1", "M2"});
    mixed(1, 1) = "S9999";
    EXPECT_EQ(store->putCards(mixed, "127.0.0.1").reply, "미등록 가맹점: S9999");
    EXPECT_FALSE(store->putCards(TextTable(), "127.0.0.1").accepted);
    EXPECT_FALSE(store->putCards(TextTable(1, 12), "127.0.0.1").accepted);
    EXPECT_EQ(count("CARD_APR"), 3);

    // The same approval in another store is another approval.
    EXPECT_TRUE(store->putCards(cards("S0002", {"A1"}), "127.0.0.1").accepted);
    EXPECT_EQ(count("CARD_APR"), 4);
}

TEST_F(SqliteStoreTest, AcceptedUploadsSurviveAPowerCut) {
    ASSERT_TRUE(store->putSale(restaurantSale("S0001", "1", "K-1")).accepted);
    ASSERT_TRUE(store->putCards(cards("S0001", {"A1"}), "127.0.0.1").accepted);

    // A copy of the files taken while the store is running, as a power cut would leave them.
    const std::filesystem::path cut = dir / "cut.db";
    for (const char* suffix : {"", "-wal"}) {
        std::filesystem::copy_file(file().string() + suffix, cut.string() + suffix);
    }
    EXPECT_EQ(central::query(cut, "SELECT COUNT(*) FROM SALE_HDR, CARD_APR"),
              (std::vector<Row>{{"1"}}));
    store.reset();
    EXPECT_EQ(count("SALE_LINE"), 3);
}

TEST_P(StoreTest, ReopenedStoreKnowsItsShopsAndSales) {
    ASSERT_TRUE(store->putSale(restaurantSale("S0001", "1", "K-1")).accepted);
    store.reset();
    // Registering a shop again renames it.
    store = open();
    store->addShop({"S0001", "새본점", "H01", "새창고", "01", "새카운터"});
    EXPECT_EQ(store->storeName("S0001"), "새본점");
    EXPECT_EQ(store->depotName("H01", "S0001"), "새창고");
    EXPECT_EQ(store->counterName("01", "S0001"), "새카운터");
    EXPECT_EQ(store->storeName("S9999"), std::nullopt);
    EXPECT_EQ(count("RCT") + count("POS"), 4);
    EXPECT_THROW(store->addShop({"", "이름없음", "", "", "", ""}), Error);
    EXPECT_EQ(store->putSale(restaurantSale("S0001", "1", "K-1")).reply, "1" + Dup);
    EXPECT_TRUE(store->putSale(restaurantSale("S0001", "2", "K-2")).accepted);
    EXPECT_EQ(count("SALE_HDR"), 2);
    EXPECT_EQ(store->storeCounts("S0001"),
              (std::vector<std::pair<std::string, long>>{
                  {"sales", 2}, {"card approvals", 0}, {"deleted lines", 0}}));
    // The version report of a registered counter, refused for another.
    EXPECT_TRUE(store->reportVersion("1.0.19", "01", "S0001").accepted);
    EXPECT_TRUE(store->reportVersion("1.0.19", "01", "S0001").accepted);  // the same second
    EXPECT_FALSE(store->reportVersion("1.0.19", "09", "S0001").accepted);
    EXPECT_EQ(query("SELECT VELDON_VER FROM POS WHERE POS_ID = '01' AND RCT_CODE = 'S0001'"),
              (std::vector<Row>{{"1.0.19"}}));
}

TEST_P(StoreTest, DeletedLinesAreStoredAllOrNoneAndNeverTwice) {
    std::vector<DeletedLine> lines = {
        {"2024-03-05", "8801", "우유", "Ea", 1500, 2, 3000, "01", "S0001"},
        {"2024-03-05", "8802", "빵", "Ea", 0.5, 1, 0.5, "01", "S0001"},
    };
    ASSERT_TRUE(store->putDeletedLines(lines).accepted);
    auto rows = query(
        "SELECT DEL_DATE, PR_BCODE, PR_NAME, PR_UNIT, POS_ID, RCT_CODE, PR_UP, PR_QTY, PR_AMT "
        "FROM DELPSS13 ORDER BY DEL_ID");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(Row(rows[0].begin(), rows[0].begin() + 6),
              (Row{"2024-03-05", "8801", "우유", "Ea", "01", "S0001"}));
    // Numbers as numbers: MariaDB shows its DECIMAL columns with their four places.
    EXPECT_EQ(std::stod(*rows[0][6]) + std::stod(*rows[0][7]) + std::stod(*rows[0][8]), 4502);
    EXPECT_EQ(std::stod(*rows[1][6]), 0.5);

    lines[1].storeCode = "S9999";
    EXPECT_EQ(store->putDeletedLines(lines).reply, "미등록 가맹점: S9999");
    EXPECT_EQ(count("DELPSS13"), 2);

    lines[1].storeCode = "S0001";
    ASSERT_TRUE(store->putDeletedLines(lines).accepted);  // sent again after a lost answer
    EXPECT_EQ(count("DELPSS13"), 2);
    lines.push_back(lines[0]);  // the same item deleted twice in one second, with the old batch
    ASSERT_TRUE(store->putDeletedLines(lines).accepted);
    EXPECT_EQ(count("DELPSS13"), 3);
}

TEST_P(StoreTest, ShopActivityCountsWhatEachStoreSentPerDay) {
    // A store made before the activity was kept is brought up to date when opened.
    store.reset();
    // MariaDB names the table an index is dropped from.
    const std::string onSales = m_database ? " ON SALE_HDR" : "";
    const std::string onCards = m_database ? " ON CARD_APR" : "";
    for (const std::string& sql : std::vector<std::string>{
             "DROP TABLE UPLOAD_EVENT", "DROP INDEX SALE_HDR_RECEIVED" + onSales,
             "DROP INDEX CARD_APR_RECEIVED" + onCards, "UPDATE SCHEMA_VERSION SET VERSION = 2"}) {
        query(sql);
    }
    store = open();

    const DateTime now = SystemClock().now();
    ASSERT_TRUE(store->putSale(retailSale("S0001", "1", "")).accepted);
    ASSERT_TRUE(store->putSale(retailSale("S0001", "2", "")).accepted);
    ASSERT_TRUE(store->putSale(retailSale("S0001", "3", "")).accepted);
    EXPECT_FALSE(store->putSale(retailSale("S0001", "1", "")).accepted);  // duplicate
    SaleUpload forged = retailSale("S0001", "1", "");
    forged.TPE(2) = "other";
    EXPECT_TRUE(store->putSale(forged).conflict);  // a refusal, not a plain duplicate
    SaleUpload wide = retailSale("S0001", "4", "");
    wide.TPE.resize(25);  // empties every slot
    wide.TPE(4) = "S0001";
    EXPECT_FALSE(store->putSale(wide).accepted);                          // refused
    EXPECT_FALSE(store->putSale(retailSale("S9999", "1", "")).accepted);  // no such shop
    ASSERT_TRUE(store->putCards(cards("S0002", {"A1", "A2"}), "").accepted);
    ASSERT_TRUE(store->reportVersion("2.1.0", "02", "S0002").accepted);
    // Sale 2 arrived yesterday, sale 3 before the period.
    for (int sale : {2, 3}) {
        query("UPDATE SALE_HDR SET RECEIVED_AT = '" +
              now.addDays(sale == 2 ? -1 : -3).toDateText() + " 23:59:59' WHERE TPE_00 = '" +
              std::to_string(sale) + "'");
    }

    const auto shops = store->shopActivity(now.toDateText(), 3);
    ASSERT_EQ(shops.size(), 2u);
    auto line = [](const ShopActivity& s) {
        std::string text = s.storeCode + " " + s.storeName + " v" + s.version + " sales";
        for (std::size_t day = 0; day < s.salesPerDay.size(); ++day) {
            text +=
                " " + std::to_string(s.salesPerDay[day]) + "/" + std::to_string(s.cardsPerDay[day]);
        }
        return text + " dup " + std::to_string(s.duplicates) + " refused " +
               std::to_string(s.refusals);
    };
    EXPECT_EQ(line(shops[0]), "S0001 본점 v sales 1/0 1/0 0/0 dup 1 refused 2");
    EXPECT_EQ(line(shops[1]), "S0002 역전점 v2.1.0 sales 0/2 0/0 0/0 dup 0 refused 0");
    EXPECT_EQ(shops[0].lastUpload.substr(0, 10), now.toDateText());
    EXPECT_EQ(shops[1].versionReportedAt.substr(0, 10), now.toDateText());
    EXPECT_THROW(store->shopActivity("someday", 3), Error);
}

TEST_P(StoreTest, PlaceThatIsNoCentralStoreIsRefused) {
    store.reset();
    auto expectRefused = [&](const std::string& cause) {
        try {
            open();
            ADD_FAILURE() << "opened";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), errc::ProviderError);
            EXPECT_NE(e.description().find(cause), std::string::npos) << e.description();
        }
    };
    query("UPDATE SCHEMA_VERSION SET VERSION = 99");
    expectRefused("newer");
    // Tables without a SCHEMA_VERSION: some other program's.
    query("DROP TABLE SCHEMA_VERSION");
    expectRefused("not a central store");
}

TEST(SqliteStoreFileTest, FileThatIsNoDatabaseRaises) {
    test::TempDir dir;
    test::writeFile(dir / "text.db", std::string(4096, 'x'));
    try {
        openSqliteStore(dir / "text.db");
        ADD_FAILURE() << "opened";
    } catch (const Error& e) {
        EXPECT_NE(e.description().find("not a database"), std::string::npos) << e.description();
    }
}

// Two veldon-central processes on one MariaDB database, each shop's uploads arriving through
// both at once: every sale and card approval is stored once, one caller is told "accepted" and
// every other one that the service holds it.
TEST(MariadbServiceTest, TwoServicesStoreEachUploadOnce) {
    const std::optional<MariadbTarget> server = testServer();
    if (!server) {
        GTEST_SKIP() << NoServer;
    }
    ScratchDatabase database(*server);
    test::TempDir dir;
    {
        MariadbTarget target = database.target();
        openMariadbStore(target)->addShop({"S0001", "본점", "H01", "본창고", "01", "카운터1"});
    }
    // One service reads the password from a file, the other from the environment.
    const std::string passwordFile = (dir / "db-password").string();
    test::writeFile(passwordFile, "veldon\n");
    std::filesystem::permissions(passwordFile, std::filesystem::perms(0600));
    struct Service {
        FILE* out = nullptr;
        int pid = 0;
        int port = 0;
    };
    Service services[2];
    for (int s = 0; s < 2; ++s) {
        const std::string command =
            "echo $$; exec " +
            std::string(s == 0 ? "env -u VELDON_CENTRAL_DB_PASSWORD '"
                               : "env VELDON_CENTRAL_DB_PASSWORD=veldon '") +
            (test::buildDir() / "central/veldon-central").string() +
            "' --listen 127.0.0.1:0 --db " + database.address() +
            (s == 0 ? " --db-password-file '" + passwordFile + "'" : std::string()) +
            " --account veldon:mv5529:central --threads 8 --quiet 2>'" +
            (dir / ("central" + std::to_string(s) + ".err")).string() + "'";
        services[s].out = popen(command.c_str(), "r");
        ASSERT_NE(services[s].out, nullptr);
        char pid[32] = {}, line[512] = {};
        ASSERT_TRUE(fgets(pid, sizeof pid, services[s].out) &&
                    fgets(line, sizeof line, services[s].out))
            << test::readFile(dir / ("central" + std::to_string(s) + ".err"));
        services[s].pid = std::stoi(pid);
        const std::string prefix = "veldon-central listening on 127.0.0.1:";
        ASSERT_EQ(std::string(line).rfind(prefix, 0), 0u) << line;
        services[s].port = std::stoi(std::string(line).substr(prefix.size()));
    }

    constexpr int Threads = 8, Sales = 30;
    std::vector<std::vector<std::string>> replies(Threads, std::vector<std::string>(Sales + 1));
    std::vector<std::vector<bool>> accepted(Threads, std::vector<bool>(Sales + 1));
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < Threads; ++t) {
            threads.emplace_back([&, t] {
                DataSpace space;
                auto object = space.CreateObject(
                    "lumora.demon", "http://127.0.0.1:" + std::to_string(services[t % 2].port));
                std::string connection =
                    "DRIVER={MySQL ODBC 3.51 Driver};SERVER=127.0.0.1;DATABASE=central;"
                    "UID=veldon;PWD=mv5529";
                // Each thread starts elsewhere in the list, the card batch in the middle.
                for (int i = 0; i < Sales + 1; ++i)
                    try {
                        const int n = (i + t * 7) % (Sales + 1);
                        if (n == Sales) {
                            accepted[t][n] = object->putcard(cards("S0001", {"A1", "A2", "A3"}),
                                                             replies[t][n], connection);
                            continue;
                        }
                        SaleUpload sale = restaurantSale("S0001", std::to_string(n), "");
                        std::string key = "K-" + std::to_string(n);
                        accepted[t][n] =
                            object->PutPSM13_SIN(sale.TPE, sale.TPS, sale.TRT, *sale.TPSN, sale.TAC,
                                                 *sale.TDLV, replies[t][n], connection, key);
                    } catch (const Error& e) {
                        ADD_FAILURE() << e.description();
                    }
            });
        }
    }
    for (int n = 0; n <= Sales; ++n) {
        int accepts = 0;
        for (int t = 0; t < Threads; ++t) {
            accepts += accepted[t][n] ? 1 : 0;
            EXPECT_EQ(replies[t][n], accepted[t][n] ? "" : (n == Sales ? "0" : "1") + Dup)
                << "upload " << n << ", thread " << t;
        }
        EXPECT_EQ(accepts, 1) << "upload " << n;
    }
    EXPECT_EQ(database.query("SELECT COUNT(*), COUNT(DISTINCT SALE_KEY) FROM SALE_HDR"),
              (std::vector<Row>{{std::to_string(Sales), std::to_string(Sales)}}));
    EXPECT_EQ(database.query("SELECT COUNT(*) FROM SALE_LINE"),
              (std::vector<Row>{{std::to_string(3 * Sales)}}));
    EXPECT_EQ(database.query("SELECT COUNT(*) FROM CARD_APR"), (std::vector<Row>{{"3"}}));
    EXPECT_EQ(database.query("SELECT COUNT(*) FROM CONFLICT"), (std::vector<Row>{{"0"}}));
    // Each answer "held already" is noted with it, for the head-office page.
    EXPECT_EQ(database.query("SELECT KIND, COUNT(*) FROM UPLOAD_EVENT GROUP BY KIND"),
              (std::vector<Row>{{"D", std::to_string((Threads - 1) * (Sales + 1))}}));

    for (Service& s : services) {
        ASSERT_EQ(kill(s.pid, SIGTERM), 0);
        char line[512];
        while (fgets(line, sizeof line, s.out)) {
        }
        EXPECT_EQ(pclose(s.out), 0);
    }
}

}  // namespace
}  // namespace veldon::central
