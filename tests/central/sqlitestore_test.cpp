// The embedded central store on real SQLite files: what it keeps of an upload, the duplicate rules
// under concurrent uploads, all-or-nothing batches, durability and the shared commits.
#include "central/sqlitestore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <latch>
#include <regex>
#include <thread>

#include "platform/error.h"
#include "tests/support/tempdir.h"

namespace veldon::central {
namespace {

using Row = std::vector<std::optional<std::string>>;

// Reads the file through a connection of its own, as an administrator would.
std::vector<Row> query(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(file.string().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr),
              SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db) << " in " << sql;
    std::vector<Row> rows;
    while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
        Row row;
        for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
            auto text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
            row.push_back(text ? std::optional<std::string>(text) : std::nullopt);
        }
        rows.push_back(std::move(row));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
}

long count(const std::filesystem::path& file, const std::string& table) {
    auto rows = query(file, "SELECT COUNT(*) FROM " + table);
    return rows.empty() ? -1 : std::stol(*rows[0][0]);
}

Row texts(const std::vector<std::string>& values) {
    return Row(values.begin(), values.end());
}

Row tableRow(const TextTable& table, std::size_t row) {
    Row out;
    for (std::size_t slot = 0; slot < table.slots(); ++slot) {
        out.push_back(table(row, slot));
    }
    return out;
}

void fill(TextArray& array, const std::string& tag) {
    for (std::size_t slot = 0; slot < array.size(); ++slot) {
        array(slot) = tag + "-" + std::to_string(slot);
    }
}

void fill(TextTable& table, const std::string& tag) {
    for (std::size_t row = 0; row < table.rows(); ++row) {
        for (std::size_t slot = 0; slot < table.slots(); ++slot) {
            table(row, slot) = tag + std::to_string(row) + "-" + std::to_string(slot);
        }
    }
}

// A restaurant sale with delivery, every slot filled with a text of its own.
SaleUpload restaurantSale(const std::string& store, const std::string& saleId,
                          const std::string& saleKey) {
    SaleUpload sale;
    sale.method = "PutPSM13_SIN";
    sale.TPE.resize(24);
    fill(sale.TPE, "tpe");
    sale.TPE(0) = saleId;
    sale.TPE(4) = store;
    sale.TPE(7) = "소비자";
    sale.TPE(21) = "01";
    sale.TPE(22) = "";  // sent empty, unlike a slot not sent
    sale.TRT.resize(8);
    fill(sale.TRT, "trt");
    sale.TPS.resize(3, 20);
    fill(sale.TPS, "tps");
    sale.TPS(1, 4) = "김치찌개 '매운맛'";
    sale.TAC.resize(2, 26);
    fill(sale.TAC, "tac");
    sale.TPSN = TextTable(1, 7);
    fill(*sale.TPSN, "psn");
    sale.TDLV = TextArray(11);
    fill(*sale.TDLV, "dlv");
    sale.saleKey = saleKey;
    return sale;
}

// A retail sale: smaller arrays, no guests, no delivery.
SaleUpload retailSale(const std::string& store, const std::string& saleId,
                      const std::string& saleKey) {
    SaleUpload sale;
    sale.method = "PutPSM13";
    sale.TPE.resize(22);
    fill(sale.TPE, "tpe");
    sale.TPE(0) = saleId;
    sale.TPE(4) = store;
    sale.TPE(21) = "01";
    sale.TRT.resize(8);
    sale.TPS.resize(1, 19);
    fill(sale.TPS, "tps");
    sale.TAC.resize(1, 26);
    sale.saleKey = saleKey;
    sale.markedY = true;
    return sale;
}

TextTable cards(const std::string& store, std::initializer_list<std::string> approvals) {
    TextTable TCD(approvals.size(), 13);
    fill(TCD, "tcd");
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

// Holds the file's write lock from a second connection, so that uploads queue up meanwhile.
class WriteLock {
public:
    explicit WriteLock(const std::filesystem::path& file) {
        EXPECT_EQ(sqlite3_open(file.string().c_str(), &m_db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ~WriteLock() { release(); }
    void release() {
        if (m_db) {
            sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
            sqlite3_close(m_db);
            m_db = nullptr;
        }
    }

private:
    sqlite3* m_db = nullptr;
};

// Waits until the writer has taken a job and blocks on the lock.
void giveTheWriterTime() {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

const std::string Dup = ":중복DATA";

class SqliteStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = openSqliteStore(file());
        store->addShop({"S0001", "본점", "H01", "본창고", "01", "카운터1"});
        store->addShop({"S0002", "역전점", "H01", "역전창고", "02", "카운터2"});
    }

    std::filesystem::path file() const { return dir / "central.db"; }

    test::TempDir dir;
    std::unique_ptr<CentralStore> store;
};

TEST_F(SqliteStoreTest, RestaurantSaleKeepsEverySlotAsReceived) {
    SaleUpload sale = restaurantSale("S0001", "2403050001", "K-1");
    StoreReply reply = store->putSale(sale);
    EXPECT_TRUE(reply.accepted);
    EXPECT_EQ(reply.reply, "");

    std::string tpe;
    for (int slot = 0; slot < 24; ++slot) {
        tpe +=
            (slot ? ", " : "") + std::string(slot < 10 ? "TPE_0" : "TPE_") + std::to_string(slot);
    }
    auto header = query(file(), "SELECT " + tpe + " FROM SALE_HDR");
    ASSERT_EQ(header.size(), 1u);
    EXPECT_EQ(header[0], texts(sale.TPE.elements()));

    auto meta =
        query(file(), "SELECT RCT_CODE, SALE_KEY, METHOD, MARK_Y, RECEIVED_AT FROM SALE_HDR");
    EXPECT_EQ(meta[0][0], "S0001");
    EXPECT_EQ(meta[0][1], "K-1");
    EXPECT_EQ(meta[0][2], "PutPSM13_SIN");
    EXPECT_EQ(meta[0][3], "");
    EXPECT_TRUE(std::regex_match(*meta[0][4], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));

    auto rt = query(file(), "SELECT * FROM SALE_RT");
    ASSERT_EQ(rt.size(), 1u);
    EXPECT_EQ(Row(rt[0].begin() + 1, rt[0].end()), texts(sale.TRT.elements()));

    // Children come back in array order, every slot in place.
    auto lines = query(file(), "SELECT * FROM SALE_LINE ORDER BY ROW_NO");
    ASSERT_EQ(lines.size(), 3u);
    for (std::size_t row = 0; row < 3; ++row) {
        EXPECT_EQ(lines[row][1], std::to_string(row));
        EXPECT_EQ(Row(lines[row].begin() + 2, lines[row].end()), tableRow(sale.TPS, row));
    }
    auto ac = query(file(), "SELECT * FROM SALE_AC ORDER BY ROW_NO");
    ASSERT_EQ(ac.size(), 2u);
    EXPECT_EQ(Row(ac[1].begin() + 2, ac[1].end()), tableRow(sale.TAC, 1));
    auto guests = query(file(), "SELECT * FROM SALE_GUEST");
    ASSERT_EQ(guests.size(), 1u);
    EXPECT_EQ(Row(guests[0].begin() + 2, guests[0].end()), tableRow(*sale.TPSN, 0));
    auto delivery = query(file(), "SELECT * FROM SALE_DLV");
    ASSERT_EQ(delivery.size(), 1u);
    EXPECT_EQ(Row(delivery[0].begin() + 1, delivery[0].end()), texts(sale.TDLV->elements()));

    // All rows of the sale hang off the one header.
    EXPECT_EQ(count(file(), "SALE_LINE WHERE SALE_ID = (SELECT SALE_ID FROM SALE_HDR)"), 3);
}

TEST_F(SqliteStoreTest, RetailSaleLeavesSlotsNotSentNull) {
    SaleUpload sale = retailSale("S0001", "1001", "U-1");
    ASSERT_TRUE(store->putSale(sale).accepted);

    auto header = query(file(), "SELECT TPE_21, TPE_22, TPE_23, MARK_Y, METHOD FROM SALE_HDR");
    EXPECT_EQ(header[0], (Row{"01", std::nullopt, std::nullopt, "Y", "PutPSM13"}));
    auto line = query(file(), "SELECT TPS_18, TPS_19 FROM SALE_LINE");
    EXPECT_EQ(line[0], (Row{"tps0-18", std::nullopt}));
    EXPECT_EQ(count(file(), "SALE_GUEST"), 0);
    EXPECT_EQ(count(file(), "SALE_DLV"), 0);
}

TEST_F(SqliteStoreTest, SaleWithAKeyIsHeldOncePerStoreAndKey) {
    ASSERT_TRUE(store->putSale(restaurantSale("S0001", "1", "K-1")).accepted);

    // The key decides, not the content; other content under a held key is recorded as a
    // conflict, the same content sent again is not.
    SaleUpload other = restaurantSale("S0001", "2", "K-1");
    other.client = "127.0.0.7";
    StoreReply again = store->putSale(other);
    EXPECT_FALSE(again.accepted);
    EXPECT_EQ(again.reply, "1" + Dup);
    EXPECT_TRUE(again.conflict);
    EXPECT_FALSE(store->putSale(restaurantSale("S0001", "1", "K-1")).conflict);
    EXPECT_EQ(count(file(), "SALE_HDR"), 1);
    EXPECT_EQ(count(file(), "SALE_LINE"), 3);
    const auto conflicts = query(file(),
                                 "SELECT KIND, RCT_CODE, UPLOAD_KEY, CLIENT, HELD_DIGEST <> "
                                 "SENT_DIGEST FROM CONFLICT");
    ASSERT_EQ(conflicts.size(), 1u);
    EXPECT_EQ(conflicts[0], (Row{"sale", "S0001", "K-1", "127.0.0.7", "1"}));

    EXPECT_TRUE(store->putSale(restaurantSale("S0002", "1", "K-1")).accepted);
    EXPECT_TRUE(store->putSale(restaurantSale("S0001", "1", "K-2")).accepted);
    EXPECT_EQ(count(file(), "SALE_HDR"), 3);
}

TEST_F(SqliteStoreTest, SaleWithoutAKeyIsHeldOncePerStoreCounterAndSaleId) {
    ASSERT_TRUE(store->putSale(retailSale("S0001", "1001", "")).accepted);

    SaleUpload sameCounter = retailSale("S0001", "1001", "");
    sameCounter.TPE(2) = "other content";
    EXPECT_EQ(store->putSale(sameCounter).reply, "1" + Dup);

    SaleUpload otherCounter = retailSale("S0001", "1001", "");
    otherCounter.TPE(21) = "02";
    EXPECT_TRUE(store->putSale(otherCounter).accepted);
    EXPECT_TRUE(store->putSale(retailSale("S0002", "1001", "")).accepted);
    // A keyed sale never collides with an unkeyed one.
    EXPECT_TRUE(store->putSale(retailSale("S0001", "1001", "1001")).accepted);
    EXPECT_EQ(count(file(), "SALE_HDR"), 4);
}

TEST_F(SqliteStoreTest, SaleIsRefusedWholeWhenStoreUnknownOrArraysDoNotFit) {
    StoreReply unknown = store->putSale(restaurantSale("S9999", "1", "K-1"));
    EXPECT_FALSE(unknown.accepted);
    EXPECT_EQ(unknown.reply, "미등록 가맹점: S9999");

    SaleUpload shortHeader = retailSale("S0001", "1", "K-1");
    shortHeader.TPE.resize(21);
    shortHeader.TPE(4) = "S0001";
    EXPECT_EQ(store->putSale(shortHeader).reply, "TPE 항목 부족: 22개 필요, 21개 수신");

    SaleUpload wideLines = restaurantSale("S0001", "1", "K-1");
    wideLines.TPS.resize(1, 21);
    EXPECT_EQ(store->putSale(wideLines).reply, "TPS 항목 초과: 20개까지 저장, 21개 수신");

    SaleUpload longKey = restaurantSale("S0001", "1", std::string(101, 'k'));
    EXPECT_FALSE(store->putSale(longKey).accepted);

    for (const auto& [table, rows] : store->tableCounts()) {
        if (table.rfind("SALE_", 0) == 0) {
            EXPECT_EQ(rows, 0) << table;
        }
    }
}

TEST_F(SqliteStoreTest, ConcurrentUploadsOfOneSaleStoreItOnce) {
    constexpr int Threads = 16;
    const SaleUpload sale = restaurantSale("S0001", "7", "K-7");
    std::vector<StoreReply> replies(Threads);
    std::latch start(Threads);
    std::vector<std::thread> threads;
    for (int i = 0; i < Threads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            replies[i] = store->putSale(sale);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    int accepted = 0;
    for (const StoreReply& reply : replies) {
        accepted += reply.accepted;
        if (!reply.accepted) {
            EXPECT_EQ(reply.reply, "1" + Dup);
        }
    }
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(count(file(), "SALE_HDR"), 1);
    EXPECT_EQ(count(file(), "SALE_LINE"), 3);
}

TEST_F(SqliteStoreTest, UploadsWaitingTogetherShareOneCommit) {
    constexpr int Threads = 64;
    long before = sqliteStoreCommits(*store);
    std::vector<StoreReply> replies(Threads);
    std::vector<std::thread> threads;
    {
        WriteLock lock(file());
        for (int i = 0; i < Threads; ++i) {
            threads.emplace_back([&, i] {
                replies[i] = store->putSale(restaurantSale("S0001", std::to_string(i), ""));
            });
        }
        giveTheWriterTime();
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const StoreReply& reply : replies) {
        EXPECT_TRUE(reply.accepted) << reply.reply;
    }
    EXPECT_EQ(count(file(), "SALE_HDR"), Threads);
    // The first job may commit alone; every later one queued behind it.
    EXPECT_LE(sqliteStoreCommits(*store) - before, 3);
}

TEST_F(SqliteStoreTest, SaleRepeatedWithinOneCommitIsStoredOnce) {
    std::vector<std::thread> threads;
    std::vector<StoreReply> replies(3);
    {
        WriteLock lock(file());
        threads.emplace_back([&] { replies[0] = store->putSale(retailSale("S0001", "1", "A")); });
        giveTheWriterTime();  // the writer holds this one, the next two queue together
        for (int i = 1; i < 3; ++i) {
            threads.emplace_back(
                [&, i] { replies[i] = store->putSale(retailSale("S0001", "2", "B")); });
        }
        giveTheWriterTime();
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(replies[0].accepted);
    EXPECT_NE(replies[1].accepted, replies[2].accepted);
    EXPECT_EQ((replies[1].accepted ? replies[2] : replies[1]).reply, "1" + Dup);
    EXPECT_EQ(count(file(), "SALE_HDR WHERE SALE_KEY = 'B'"), 1);
    EXPECT_EQ(count(file(), "SALE_LINE"), 2);
}

TEST_F(SqliteStoreTest, CardBatchIsStoredWholeOrNotAtAll) {
    ASSERT_TRUE(store->putCards(cards("S0001", {"A1", "A2", "A3"}), "127.0.0.1").accepted);
    auto stored = query(file(),
                        "SELECT RCT_CODE, TCD_00, TCD_01, TCD_02, TCD_05, TCD_12 "
                        "FROM CARD_APR ORDER BY TCD_12");
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[2], (Row{"S0001", "2403050001", "S0001", "B2", "tcd2-5", "A3"}));

    StoreReply again = store->putCards(cards("S0001", {"A1", "A2", "A3"}), "127.0.0.1");
    EXPECT_FALSE(again.accepted);
    EXPECT_EQ(again.reply, "0" + Dup);
    EXPECT_EQ(count(file(), "CARD_APR"), 3);
    EXPECT_FALSE(again.conflict);  // the same batch sent again
    TextTable changed = cards("S0001", {"A1"});
    changed(0, 10) = "99999";  // another amount under a held approval
    EXPECT_TRUE(store->putCards(changed, "127.0.0.8").conflict);
    EXPECT_EQ(query(file(), "SELECT KIND, UPLOAD_KEY, CLIENT FROM CONFLICT")[0],
              (Row{"card", "2403050001/B0/A1", "127.0.0.8"}));

    // Row 1 is held already (same bill B1, approval A2): rows 0 and 2 must not slip in.
    EXPECT_EQ(store->putCards(cards("S0001", {"N1", "A2", "N3"}), "127.0.0.1").reply, "1" + Dup);
    // A batch repeating its own row 0.
    TextTable repeated = cards("S0001", {"R1", "R2"});
    repeated(1, 2) = repeated(0, 2);
    repeated(1, 12) = repeated(0, 12);
    EXPECT_EQ(store->putCards(repeated, "127.0.0.1").reply, "1" + Dup);
    EXPECT_EQ(count(file(), "CARD_APR"), 3);

    // The same approval in another store is another approval.
    EXPECT_TRUE(store->putCards(cards("S0002", {"A1"}), "127.0.0.1").accepted);
    EXPECT_EQ(count(file(), "CARD_APR"), 4);
}

TEST_F(SqliteStoreTest, CardBatchIsRefusedForUnknownStoreOrNoRows) {
    TextTable mixed = cards("S0001", {"M1", "M2"});
    mixed(1, 1) = "S9999";
    StoreReply reply = store->putCards(mixed, "127.0.0.1");
    EXPECT_FALSE(reply.accepted);
    EXPECT_EQ(reply.reply, "미등록 가맹점: S9999");

    EXPECT_FALSE(store->putCards(TextTable(), "127.0.0.1").accepted);
    EXPECT_FALSE(store->putCards(TextTable(1, 12), "127.0.0.1").accepted);
    EXPECT_EQ(count(file(), "CARD_APR"), 0);
}

TEST_F(SqliteStoreTest, AcceptedUploadsSurviveTheStore) {
    ASSERT_TRUE(store->putSale(restaurantSale("S0001", "1", "K-1")).accepted);
    ASSERT_TRUE(store->putCards(cards("S0001", {"A1"}), "127.0.0.1").accepted);

    // A copy of the files taken while the store is running, as a power cut would leave them.
    std::filesystem::create_directory(dir / "cut");
    for (const char* suffix : {"", "-wal"}) {
        std::filesystem::copy_file(file().string() + suffix,
                                   (dir / "cut" / "central.db").string() + suffix);
    }
    EXPECT_EQ(count(dir / "cut" / "central.db", "SALE_HDR"), 1);
    EXPECT_EQ(count(dir / "cut" / "central.db", "CARD_APR"), 1);

    store.reset();
    EXPECT_EQ(count(file(), "SALE_HDR"), 1);
    EXPECT_EQ(count(file(), "SALE_LINE"), 3);

    // Reopened, it knows its shops and its sales again.
    store = openSqliteStore(file());
    EXPECT_EQ(store->storeName("S0001"), "본점");
    EXPECT_EQ(store->putSale(restaurantSale("S0001", "1", "K-1")).reply, "1" + Dup);
    EXPECT_TRUE(store->putSale(restaurantSale("S0001", "2", "K-2")).accepted);
    EXPECT_EQ(count(file(), "SALE_HDR"), 2);
}

TEST_F(SqliteStoreTest, VersionReportUpdatesOnlyAKnownCounter) {
    StoreReply reply = store->reportVersion("1.0.19", "01", "S0001");
    EXPECT_TRUE(reply.accepted);
    auto pos = query(file(), "SELECT VELDON_VER, VELDON_VER_SDATE FROM POS WHERE POS_ID = '01'");
    ASSERT_EQ(pos.size(), 1u);
    EXPECT_EQ(pos[0][0], "1.0.19");
    EXPECT_TRUE(std::regex_match(*pos[0][1], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));

    // Counter 02 belongs to the other store.
    StoreReply unknown = store->reportVersion("1.0.19", "02", "S0001");
    EXPECT_FALSE(unknown.accepted);
    EXPECT_EQ(unknown.reply, "미등록 카운터: S0001/02");
    EXPECT_EQ(count(file(), "POS WHERE VELDON_VER IS NOT NULL"), 1);
}

TEST_F(SqliteStoreTest, DeletedLinesAreStoredAllOrNoneAndNeverTwice) {
    std::vector<DeletedLine> lines = {
        {"2024-03-05", "8801", "우유", "Ea", 1500, 2, 3000, "01", "S0001"},
        {"2024-03-05", "8802", "빵", "Ea", 0.5, 1, 0.5, "01", "S0001"},
    };
    ASSERT_TRUE(store->putDeletedLines(lines).accepted);
    auto rows = query(file(),
                      "SELECT DEL_DATE, PR_BCODE, PR_NAME, PR_UNIT, PR_UP, PR_QTY, "
                      "PR_AMT, POS_ID, RCT_CODE FROM DELPSS13 ORDER BY DEL_ID");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0],
              (Row{"2024-03-05", "8801", "우유", "Ea", "1500", "2", "3000", "01", "S0001"}));
    EXPECT_EQ(rows[1][4], "0.5");

    lines[1].storeCode = "S9999";
    StoreReply reply = store->putDeletedLines(lines);
    EXPECT_FALSE(reply.accepted);
    EXPECT_EQ(reply.reply, "미등록 가맹점: S9999");
    EXPECT_EQ(count(file(), "DELPSS13"), 2);

    lines[1].storeCode = "S0001";
    ASSERT_TRUE(store->putDeletedLines(lines).accepted);  // sent again after a lost answer
    EXPECT_EQ(count(file(), "DELPSS13"), 2);
    lines.push_back(lines[0]);  // the same item deleted twice in one second, with the old batch
    ASSERT_TRUE(store->putDeletedLines(lines).accepted);
    EXPECT_EQ(count(file(), "DELPSS13"), 3);
}

TEST_F(SqliteStoreTest, NameLookUpsFindRegisteredShops) {
    EXPECT_EQ(store->storeName("S0001"), "본점");
    EXPECT_EQ(store->depotName("H01", "S0002"), "역전창고");
    EXPECT_EQ(store->counterName("02", "S0002"), "카운터2");
    EXPECT_EQ(store->storeName("S9999"), std::nullopt);
    EXPECT_EQ(store->depotName("H02", "S0001"), std::nullopt);
    EXPECT_EQ(store->counterName("02", "S0001"), std::nullopt);

    // Registering again renames.
    store->addShop({"S0001", "새본점", "H01", "새창고", "01", "새카운터"});
    EXPECT_EQ(store->storeName("S0001"), "새본점");
    EXPECT_EQ(store->depotName("H01", "S0001"), "새창고");
    EXPECT_EQ(store->counterName("01", "S0001"), "새카운터");
    EXPECT_EQ(count(file(), "RCT"), 2);
    EXPECT_EQ(count(file(), "POS"), 2);

    EXPECT_THROW(store->addShop({"", "이름없음", "", "", "", ""}), Error);
}

TEST_F(SqliteStoreTest, TableCountsListEveryTable) {
    ASSERT_TRUE(store->putSale(restaurantSale("S0001", "1", "K-1")).accepted);
    auto counts = store->tableCounts();

    std::vector<std::string> names;
    for (const auto& [table, rows] : counts) {
        names.push_back(table);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"RCT", "HCT", "POS", "DELPSS13", "SALE_HDR",
                                               "SALE_RT", "SALE_LINE", "SALE_AC", "SALE_GUEST",
                                               "SALE_DLV", "CARD_APR", "CONFLICT"}));
    for (const auto& [table, rows] : counts) {
        EXPECT_EQ(rows, count(file(), table)) << table;
    }
    // Nothing in the file is left out but the schema's own bookkeeping.
    auto tables = query(file(),
                        "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND "
                        "name <> 'SCHEMA_VERSION'");
    EXPECT_EQ(tables[0][0], std::to_string(counts.size()));
}

class SqliteStoreFileTest : public ::testing::Test {
protected:
    test::TempDir dir;
};

TEST_F(SqliteStoreFileTest, FileThatIsNoCentralStoreRaises) {
    auto expectRefused = [](const std::filesystem::path& file, const std::string& cause) {
        try {
            openSqliteStore(file);
            ADD_FAILURE() << "opened " << file;
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), errc::ProviderError);
            EXPECT_NE(e.description().find(cause), std::string::npos) << e.description();
        }
    };
    test::writeFile(dir / "text.db", std::string(4096, 'x'));
    expectRefused(dir / "text.db", "not a database");

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "other.db").string().c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE SL (SL_ID TEXT)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    expectRefused(dir / "other.db", "not a central store");

    openSqliteStore(dir / "newer.db");
    ASSERT_EQ(sqlite3_open((dir / "newer.db").string().c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "UPDATE SCHEMA_VERSION SET VERSION = 99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    expectRefused(dir / "newer.db", "newer");
}

TEST_F(SqliteStoreFileTest, MissingFileIsCreatedInWalMode) {
    auto store = openSqliteStore(dir / "fresh.db");
    EXPECT_EQ(query(dir / "fresh.db", "PRAGMA journal_mode")[0][0], "wal");
    EXPECT_EQ(store->tableCounts().size(), 12u);
}

}  // namespace
}  // namespace veldon::central
