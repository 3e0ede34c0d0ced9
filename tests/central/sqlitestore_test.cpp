// The embedded central store on real SQLite files: what it keeps of an upload, the duplicate rules
// under concurrent uploads, all-or-nothing batches, durability and the shared commits.
#include "central/sqlitestore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <regex>
#include <thread>

#include "platform/clock.h"
#include "platform/error.h"
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

class SqliteStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = openSqliteStore(file());
        store->addShop({"S0001", "본점", "H01", "본창고", "01", "카운터1"});
        store->addShop({"S0002", "역전점", "H01", "역전창고", "02", "카운터2"});
    }

    std::filesystem::path file() const { return dir / "central.db"; }
    long count(const std::string& table) const {
        return std::stol(query(file(), "SELECT COUNT(*) FROM " + table).at(0).at(0).value());
    }

    test::TempDir dir;
    std::unique_ptr<CentralStore> store;
};

TEST_F(SqliteStoreTest, RestaurantSaleKeepsEverySlotAsReceived) {
    const SaleUpload sale = restaurantSale("S0001", "2403050001", "K-1");
    EXPECT_TRUE(store->putSale(sale).accepted);

    std::string columns = "SALE_ID, RCT_CODE, SALE_KEY, METHOD, MARK_Y";
    for (int slot = 0; slot < 24; ++slot) {
        columns += (slot < 10 ? ", TPE_0" : ", TPE_") + std::to_string(slot);
    }
    auto header = query(file(), "SELECT " + columns + ", RECEIVED_AT FROM SALE_HDR");
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
        EXPECT_EQ(query(file(), std::string("SELECT * FROM ") + table + " ORDER BY 1, 2"), rows)
            << table;
    }
}

TEST_F(SqliteStoreTest, SaleWithAKeyIsHeldOncePerStoreAndKey) {
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
    EXPECT_EQ(query(file(),
                    "SELECT KIND, RCT_CODE, UPLOAD_KEY, CLIENT, HELD_DIGEST <> SENT_DIGEST FROM "
                    "CONFLICT"),
              (std::vector<Row>{{"sale", "S0001", "K-1", "127.0.0.7", "1"}}));

    EXPECT_TRUE(store->putSale(restaurantSale("S0002", "1", "K-1")).accepted);
    EXPECT_TRUE(store->putSale(restaurantSale("S0001", "1", "K-2")).accepted);
    EXPECT_EQ(count("SALE_HDR"), 3);
}

TEST_F(SqliteStoreTest, SaleWithoutAKeyIsHeldOncePerStoreCounterAndSaleId) {
    ASSERT_TRUE(store->putSale(retailSale("S0001", "1001", "")).accepted);
    // Slots a retail sale does not send stay NULL.
    EXPECT_EQ(query(file(), "SELECT TPE_21, TPE_22, TPE_23, MARK_Y, METHOD FROM SALE_HDR")[0],
              (Row{"01", std::nullopt, std::nullopt, "Y", "PutPSM13"}));
    EXPECT_EQ(query(file(), "SELECT TPS_18, TPS_19 FROM SALE_LINE")[0],
              (Row{"tps0-18", std::nullopt}));
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

TEST_F(SqliteStoreTest, SaleIsRefusedWholeWhenStoreUnknownOrArraysDoNotFit) {
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

TEST_F(SqliteStoreTest, CardBatchIsStoredWholeOrNotAtAll) {
    ASSERT_TRUE(store->putCards(cards("S0001", {"A1", "A2", "A3"}), "127.0.0.1").accepted);
    auto stored = query(file(),
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
    EXPECT_EQ(query(file(), "SELECT KIND, UPLOAD_KEY, CLIENT FROM CONFLICT")[0],
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

TEST_F(SqliteStoreTest, AcceptedUploadsSurviveTheStore) {
    ASSERT_TRUE(store->putSale(restaurantSale("S0001", "1", "K-1")).accepted);
    ASSERT_TRUE(store->putCards(cards("S0001", {"A1"}), "127.0.0.1").accepted);

    // A copy of the files taken while the store is running, as a power cut would leave them.
    const std::filesystem::path cut = dir / "cut.db";
    for (const char* suffix : {"", "-wal"}) {
        std::filesystem::copy_file(file().string() + suffix, cut.string() + suffix);
    }
    EXPECT_EQ(query(cut, "SELECT COUNT(*) FROM SALE_HDR, CARD_APR"), (std::vector<Row>{{"1"}}));

    store.reset();
    EXPECT_EQ(count("SALE_LINE"), 3);
    // Reopened, it knows its shops and its sales again; registering a shop again renames it.
    store = openSqliteStore(file());
    store->addShop({"S0001", "새본점", "H01", "새창고", "01", "새카운터"});
    EXPECT_EQ(store->storeName("S0001"), "새본점");
    EXPECT_EQ(store->depotName("H01", "S0001"), "새창고");
    EXPECT_EQ(store->counterName("01", "S0001"), "새카운터");
    EXPECT_EQ(count("RCT") + count("POS"), 4);
    EXPECT_THROW(store->addShop({"", "이름없음", "", "", "", ""}), Error);
    EXPECT_EQ(store->putSale(restaurantSale("S0001", "1", "K-1")).reply, "1" + Dup);
    EXPECT_TRUE(store->putSale(restaurantSale("S0001", "2", "K-2")).accepted);
    EXPECT_EQ(count("SALE_HDR"), 2);
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
    EXPECT_EQ(store->putDeletedLines(lines).reply, "미등록 가맹점: S9999");
    EXPECT_EQ(count("DELPSS13"), 2);

    lines[1].storeCode = "S0001";
    ASSERT_TRUE(store->putDeletedLines(lines).accepted);  // sent again after a lost answer
    EXPECT_EQ(count("DELPSS13"), 2);
    lines.push_back(lines[0]);  // the same item deleted twice in one second, with the old batch
    ASSERT_TRUE(store->putDeletedLines(lines).accepted);
    EXPECT_EQ(count("DELPSS13"), 3);
}

TEST_F(SqliteStoreTest, ShopActivityCountsWhatEachStoreSentPerDay) {
    // A store made before the activity was kept is brought up to date when opened.
    store.reset();
    query(file(),
          "DROP TABLE UPLOAD_EVENT; DROP INDEX SALE_HDR_RECEIVED; DROP INDEX CARD_APR_RECEIVED; "
          "UPDATE SCHEMA_VERSION SET VERSION = 2");
    store = openSqliteStore(file());

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
    query(file(), "UPDATE SALE_HDR SET RECEIVED_AT = '" + now.addDays(-1).toDateText() +
                      " 23:59:59' WHERE TPE_00 = '2'; UPDATE SALE_HDR SET RECEIVED_AT = '" +
                      now.addDays(-3).toDateText() + " 23:59:59' WHERE TPE_00 = '3'");

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

TEST(SqliteStoreFileTest, FileThatIsNoCentralStoreRaises) {
    test::TempDir dir;
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
    query(dir / "other.db", "CREATE TABLE SL (SL_ID TEXT)");
    expectRefused(dir / "other.db", "not a central store");
    openSqliteStore(dir / "newer.db");
    query(dir / "newer.db", "UPDATE SCHEMA_VERSION SET VERSION = 99");
    expectRefused(dir / "newer.db", "newer");
}

}  // namespace
}  // namespace veldon::central
