// The central service through real HTTP on 127.0.0.1: a real SQLite store in a temporary folder,
// the service on an ephemeral port, a real client; and the built veldon-central as an operator runs
// it.
#include "central/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "central/store.h"
#include "platform/error.h"
#include "remote/wire.h"
#include "tests/support/tempdir.h"
#include "tests/support/toolrun.h"

extern char** environ;

namespace veldon::central {
namespace {

using test::TempDir;
using wire::Argument;

const std::string kConn =
    "DRIVER={MySQL ODBC 3.51 Driver};SERVER=127.0.0.1;DATABASE=veldon_demo;UID=veldon;"
    "PWD=mv5529;OPTION=16386";
const std::string kDuplicate = "중복DATA";
constexpr std::size_t kBodyLimit = 64 * 1024;

// A sale header of store S1, counter 01.
TextArray saleHeader(const std::string& saleId) {
    TextArray TPE(24);
    TPE(0) = saleId;
    TPE(1) = "2024-03-01";
    TPE(4) = "S1";
    TPE(21) = "01";
    return TPE;
}

TextTable table(std::size_t rows, std::size_t slots, const std::string& fill) {
    TextTable t(rows, slots);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t s = 0; s < slots; ++s) {
            t(r, s) = fill + std::to_string(r) + "." + std::to_string(s);
        }
    }
    return t;
}

// A card approval row of store S1.
std::vector<std::string> cardRow(const std::string& bill, const std::string& approval) {
    return {"1001", "S1", bill,    "2024-03-01", "1", "1234-****", "",
            "VISA", "",   "10000", "01",         "",  approval};
}

TextTable cards(const std::vector<std::vector<std::string>>& rows) {
    TextTable TCD(rows.size(), 13);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t s = 0; s < 13; ++s) {
            TCD(r, s) = rows[r][s];
        }
    }
    return TCD;
}

TextArray statements(const std::vector<std::string>& sql) {
    TextArray list(sql.size() + 1);
    for (std::size_t i = 0; i < sql.size(); ++i) {
        list(i + 1) = sql[i];
    }
    return list;
}

std::string versionStatement(const std::string& version, const std::string& pos,
                             const std::string& store) {
    return " UPDATE POS SET VELDON_VER = '" + version +
           "' , VELDON_VER_SDATE = Now() WHERE POS_ID = '" + pos + "' AND  RCT_CODE = '" + store +
           "'";
}

std::string deletedStatement(const std::string& menu, const std::string& price,
                             const std::string& store) {
    return std::string(
               " INSERT INTO DELPSS13 (DEL_DATE, PR_BCODE, PR_NAME, PR_UNIT, PR_UP, "
               "PR_QTY, PR_AMT, POS_ID, RCT_CODE ) ") +
           " VALUES ( '" + "2024-03-01" + "', '" + "8801" + "', '" + menu + "', '" + "EA" + "', " +
           price + ", " + "2" + ", " + "          " + "3000" + ", '" + "7" + "', '" + store +
           "' ) ";
}

class CentralServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_store = openSqliteStore(m_dir / "central.db");
        m_store->addShop({"S1", "강남점", "H1", "본점창고", "01", "카운터1"});
        m_config.accounts = {{"veldon", "mv5529", "veldon_demo"}};
        m_config.progIds = {"ZR.Shop Object/2"};
        m_config.limits.workers = 8;
        m_config.limits.maxBodyBytes = kBodyLimit;
        startService();
    }

    void TearDown() override {
        m_client.reset();
        if (m_service) {
            m_service->stop();
        }
    }

    void startService() {
        m_service = std::make_unique<CentralService>(m_config, *m_store);
        const int port = m_service->start();
        ASSERT_GT(port, 0);
        ASSERT_EQ(port, m_service->port());
        m_client = std::make_unique<httplib::Client>("127.0.0.1", port);
        m_client->set_connection_timeout(5);
        m_client->set_read_timeout(10);
    }

    httplib::Result post(const std::string& progId, const std::string& method,
                         const std::string& body) {
        return m_client->Post(wire::callPath(progId, method).c_str(), body,
                              "application/json; charset=utf-8");
    }

    // A call that must succeed as a call (HTTP 200).
    wire::Answer call(const std::string& method, const std::vector<Argument>& args,
                      const std::string& progId = "lumora.demon") {
        auto res = post(progId, method, wire::encodeRequest(args));
        if (!res) {
            ADD_FAILURE() << method << ": no answer, " << httplib::to_string(res.error());
            return {};
        }
        if (res->status != 200) {
            ADD_FAILURE() << method << ": HTTP " << res->status << " " << res->body;
            return {};
        }
        return wire::decodeAnswer(res->body);
    }

    // A connection of its own to the service, for bytes no HTTP client would send.
    int rawConnect() {
        const int sock = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(m_service->port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return sock;
    }
    static void rawSend(int sock, const std::string& bytes) {
        ASSERT_EQ(send(sock, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // What arrives until the service closes (or, unless `untilClosed`, one whole answer).
    static std::string rawReceive(int sock, bool untilClosed) {
        std::string got;
        char buffer[4096];
        while (untilClosed || got.find("\r\n\r\n") == std::string::npos ||
               got.size() < got.find("\r\n\r\n") + 4 +
                                std::stoul(got.substr(got.find("Content-Length: ") + 16))) {
            pollfd p{sock, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) {
                break;
            }
            const ssize_t n = recv(sock, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

    // A call that must fail with `status`; its error number and description.
    std::pair<long, std::string> failing(int status, const std::string& method,
                                         const std::string& body,
                                         const std::string& progId = "lumora.demon") {
        auto res = post(progId, method, body);
        if (!res) {
            ADD_FAILURE() << method << ": no answer, " << httplib::to_string(res.error());
            return {};
        }
        EXPECT_EQ(res->status, status) << res->body;
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json; charset=utf-8");
        auto error = wire::decodeError(res->body);
        if (!error) {
            ADD_FAILURE() << "not an error body: " << res->body;
            return {};
        }
        return *error;
    }

    std::vector<Argument> putPsm13(const std::string& saleId, const std::string& key) {
        return {saleHeader(saleId),
                table(2, 20, "L"),
                TextArray(8),
                table(1, 26, "A"),
                std::string(),
                kConn,
                key};
    }

    // One value read straight from the store's file.
    std::string query(const std::string& sql) {
        sqlite3* db = nullptr;
        sqlite3_open_v2((m_dir / "central.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* stmt = nullptr;
        std::string value = "<none>";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(stmt, 0);
            value = text ? reinterpret_cast<const char*>(text) : "<null>";
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return value;
    }

    long count(const std::string& table) {
        for (const auto& [name, n] : m_store->tableCounts()) {
            if (name == table) {
                return n;
            }
        }
        ADD_FAILURE() << "no table " << table;
        return -1;
    }

    void expectStillServing() {
        const wire::Answer a =
            call("GETSQL", {std::string(" SELECT RCT_NAME FROM RCT WHERE "
                                        "RCT_CODE = 'S1' "),
                            std::int64_t{0}, std::int64_t{1}, std::string(), kConn});
        ASSERT_TRUE(std::holds_alternative<wire::RowSet>(a.result));
        EXPECT_EQ(std::get<wire::RowSet>(a.result).rows.size(), 1u);
    }

    TempDir m_dir;
    std::unique_ptr<CentralStore> m_store;
    ServiceConfig m_config;
    std::unique_ptr<CentralService> m_service;
    std::unique_ptr<httplib::Client> m_client;
};

TEST_F(CentralServiceTest, RetailSaleWithSevenAndEightArguments) {
    wire::Answer a = call("PutPSM13", putPsm13("1", "T0001"));
    EXPECT_EQ(std::get<bool>(a.result), true);
    EXPECT_EQ(a.byref, (std::map<std::size_t, std::string>{{4, ""}}));

    std::vector<Argument> withY = putPsm13("2", "T0002");
    withY.push_back(std::string("Y"));
    a = call("PutPSM13", withY);
    EXPECT_EQ(std::get<bool>(a.result), true);
    EXPECT_EQ(a.byref.at(4), "");
    EXPECT_EQ(count("SALE_HDR"), 2);
    EXPECT_EQ(count("SALE_LINE"), 4);

    // The same sale again: not stored twice, and the agent reads the duplicate reply.
    a = call("PutPSM13", putPsm13("1", "T0001"));
    EXPECT_EQ(std::get<bool>(a.result), false);
    EXPECT_EQ(a.byref.at(4), "1:" + kDuplicate);
    a = call("PutPSM13", withY);
    EXPECT_EQ(a.byref.at(4), "1:" + kDuplicate);
    EXPECT_EQ(count("SALE_HDR"), 2);

    // Without a sale key the header's counter and sale identifier make the key.
    EXPECT_EQ(std::get<bool>(call("PutPSM13", putPsm13("3", "")).result), true);
    a = call("PutPSM13", putPsm13("3", ""));
    EXPECT_EQ(std::get<bool>(a.result), false);
    EXPECT_EQ(a.byref.at(4), "1:" + kDuplicate);
}

TEST_F(CentralServiceTest, RestaurantSalesAndMethodNamesInAnyCase) {
    const std::vector<Argument> sin = {saleHeader("10"),
                                       table(1, 20, "L"),
                                       TextArray(8),
                                       table(2, 7, "G"),
                                       table(1, 26, "A"),
                                       TextArray(11),
                                       std::string("left by the caller"),
                                       kConn,
                                       std::string("1001")};
    wire::Answer a = call("PutPSM13_SIN", sin);
    EXPECT_EQ(std::get<bool>(a.result), true);
    EXPECT_EQ(a.byref, (std::map<std::size_t, std::string>{{6, ""}}));
    EXPECT_EQ(count("SALE_GUEST"), 2);
    EXPECT_EQ(count("SALE_DLV"), 1);
    a = call("putpsm13_sin", sin);
    EXPECT_EQ(std::get<bool>(a.result), false);
    EXPECT_EQ(a.byref.at(6), "1:" + kDuplicate);

    const std::vector<Argument> psn = {
        saleHeader("11"),  table(1, 20, "L"), TextArray(8), table(1, 7, "G"),
        table(1, 26, "A"), std::string(),     kConn,        std::string("1101")};
    a = call("PUTPSM13_PSN", psn);
    EXPECT_EQ(std::get<bool>(a.result), true);
    EXPECT_EQ(a.byref, (std::map<std::size_t, std::string>{{5, ""}}));
    a = call("PutPSM13_PSN", psn);
    EXPECT_EQ(a.byref.at(5), "1:" + kDuplicate);

    // Tables that arrive as empty JSON arrays are tables of no rows.
    const std::string body =
        wire::encodeRequest({saleHeader("12"), TextArray(), TextArray(8), TextArray(), TextArray(),
                             std::string(), kConn, std::string("1201")});
    ASSERT_NE(body.find("[],[]"), std::string::npos) << body;
    auto res = post("lumora.demon", "PutPSM13_PSN", body);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(std::get<bool>(wire::decodeAnswer(res->body).result), true);
}

TEST_F(CentralServiceTest, RefusedUploadWritesTheStoresReply) {
    std::vector<Argument> args = putPsm13("1", "T1");
    std::get<TextArray>(args[0])(4) = "NOSUCHSTORE";
    const wire::Answer a = call("PutPSM13", args);
    EXPECT_EQ(std::get<bool>(a.result), false);
    EXPECT_FALSE(a.byref.at(4).empty());
    EXPECT_EQ(a.byref.at(4).find(kDuplicate), std::string::npos) << a.byref.at(4);
    EXPECT_EQ(count("SALE_HDR"), 0);
}

TEST_F(CentralServiceTest, CardBatchesAllOrNone) {
    const TextTable batch = cards({cardRow("B1", "A1"), cardRow("B2", "A2")});
    wire::Answer a = call("putcard", {batch, std::string(), kConn});
    EXPECT_EQ(std::get<bool>(a.result), true);
    EXPECT_EQ(a.byref, (std::map<std::size_t, std::string>{{1, ""}}));
    EXPECT_EQ(count("CARD_APR"), 2);

    a = call("putcard", {batch, std::string(), kConn});
    EXPECT_EQ(std::get<bool>(a.result), false);
    EXPECT_EQ(a.byref.at(1), "0:" + kDuplicate);

    // A new row before a held one: the held row is named, and the new one is not stored either.
    a = call("PUTCARD", {cards({cardRow("B3", "A3"), cardRow("B2", "A2")}), std::string(), kConn});
    EXPECT_EQ(std::get<bool>(a.result), false);
    EXPECT_EQ(a.byref.at(1), "1:" + kDuplicate);
    EXPECT_EQ(count("CARD_APR"), 2);
}

TEST_F(CentralServiceTest, NameLookups) {
    auto lookup = [&](const std::string& sql) {
        const wire::Answer a =
            call("GETSQL", {sql, std::int64_t{0}, std::int64_t{1}, std::string(), kConn});
        EXPECT_TRUE(a.byref.count(3)) << sql;
        return std::make_pair(std::get<wire::RowSet>(a.result),
                              a.byref.count(3) ? a.byref.at(3) : std::string("<none>"));
    };
    using Rows = std::vector<std::vector<std::optional<std::string>>>;

    auto [store, reply] = lookup(" SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S1' ");
    EXPECT_EQ(store.fields, std::vector<std::string>{"RCT_NAME"});
    EXPECT_EQ(store.rows, (Rows{{"강남점"}}));
    EXPECT_EQ(reply, "");
    auto [depot, r2] =
        lookup(" SELECT HCT_NAME FROM HCT WHERE HCT_CODE = 'H1' AND RCT_CODE = 'S1' ");
    EXPECT_EQ(depot.fields, std::vector<std::string>{"HCT_NAME"});
    EXPECT_EQ(depot.rows, (Rows{{"본점창고"}}));
    auto [counter, r3] =
        lookup(" SELECT POS_NAME FROM POS WHERE POS_ID = '01' AND RCT_CODE = 'S1' ");
    EXPECT_EQ(counter.fields, std::vector<std::string>{"POS_NAME"});
    EXPECT_EQ(counter.rows, (Rows{{"카운터1"}}));

    // Not found: the field, no rows.
    auto [missing, r4] = lookup(" SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S9' ");
    EXPECT_EQ(missing.fields, std::vector<std::string>{"RCT_NAME"});
    EXPECT_TRUE(missing.rows.empty());
    EXPECT_EQ(r4, "");
    auto [wrongStore, r5] =
        lookup(" SELECT POS_NAME FROM POS WHERE POS_ID = '01' AND RCT_CODE = 'S2' ");
    EXPECT_TRUE(wrongStore.rows.empty());

    // An injection attempt is a code no store has.
    auto [injected, r6] = lookup(" SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'x' OR '1'='1' ");
    EXPECT_TRUE(injected.rows.empty());
    EXPECT_EQ(r6, "");

    // Any other statement: an empty recordset and the reason in the reply text.
    auto [other, r7] = lookup("SELECT * FROM RCT");
    EXPECT_TRUE(other.rows.empty());
    EXPECT_NE(r7.find("does not accept this statement shape"), std::string::npos) << r7;
}

TEST_F(CentralServiceTest, VersionReportAndDeletedLines) {
    wire::Answer a =
        call("PUTSQL", {statements({versionStatement("1.0.19", "01", "S1")}), std::string(), kConn},
             "VARNIK.MEM");
    EXPECT_EQ(std::get<bool>(a.result), true);
    EXPECT_EQ(a.byref, (std::map<std::size_t, std::string>{{1, ""}}));
    EXPECT_EQ(query("SELECT VELDON_VER FROM POS WHERE POS_ID = '01' AND RCT_CODE = 'S1'"),
              "1.0.19");
    EXPECT_NE(query("SELECT VELDON_VER_SDATE FROM POS WHERE POS_ID = '01'"), "<null>");

    // A counter the service does not know.
    a = call("PUTSQL",
             {statements({versionStatement("1.0.19", "02", "S1")}), std::string(), kConn});
    EXPECT_EQ(std::get<bool>(a.result), false);
    EXPECT_FALSE(a.byref.at(1).empty());

    a = call("PUTSQL", {statements({deletedStatement("김밥", "1500", "S1"),
                                    deletedStatement("Kim's \"roll\"", "-0.5", "S1")}),
                        std::string(), kConn});
    EXPECT_EQ(std::get<bool>(a.result), true);
    EXPECT_EQ(count("DELPSS13"), 2);
    EXPECT_EQ(query("SELECT PR_NAME FROM DELPSS13 WHERE PR_UP < 0"), "Kim's \"roll\"");
    EXPECT_EQ(query("SELECT PR_UP = 1500 AND PR_QTY = 2 AND PR_AMT = 3000 FROM DELPSS13 "
                    "WHERE PR_NAME = '김밥'"),
              "1");

    // All or none: one statement of another shape refuses the whole list.
    for (const std::vector<std::string>& list : std::vector<std::vector<std::string>>{
             {deletedStatement("a", "1", "S1"), "DELETE FROM DELPSS13"},
             {deletedStatement("a", "1", "S1"), deletedStatement("b", "1,5", "S1")},
             {deletedStatement("a", "1", "S1"), versionStatement("2", "01", "S1")},
             {deletedStatement("a", "1", "S1"), deletedStatement("b", "1", "S9")},
             {}}) {
        a = call("PUTSQL", {statements(list), std::string(), kConn});
        EXPECT_EQ(std::get<bool>(a.result), false) << list.size();
        EXPECT_FALSE(a.byref.at(1).empty());
    }
    TextArray first(2);
    first(0) = deletedStatement("x", "1", "S1");
    first(1) = deletedStatement("y", "1", "S1");
    a = call("PUTSQL", {first, std::string(), kConn});
    EXPECT_EQ(std::get<bool>(a.result), false);
    EXPECT_EQ(count("DELPSS13"), 2);
    EXPECT_EQ(query("SELECT VELDON_VER FROM POS WHERE POS_ID = '01'"), "1.0.19");
}

TEST_F(CentralServiceTest, UnknownObjectsAndMethods) {
    const std::string body = wire::encodeRequest(
        {std::string("SELECT 1"), std::int64_t{0}, std::int64_t{1}, std::string(), kConn});
    auto [number, description] = failing(404, "GETSQL", body, "no.such.object");
    EXPECT_EQ(number, 429);
    EXPECT_EQ(description, "ActiveX component can't create object: no.such.object");
    // ProgIDs match exactly.
    EXPECT_EQ(failing(404, "GETSQL", body, "LUMORA.DEMON").first, 429);

    std::tie(number, description) = failing(404, "DropTables", body);
    EXPECT_EQ(number, 438);
    EXPECT_EQ(description, "Object doesn't support this property or method: DropTables");

    // A configured ProgID, even one that needs percent-encoding, is served.
    EXPECT_EQ(std::get<wire::RowSet>(
                  call("GETSQL",
                       {std::string(" SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S1' "),
                        std::int64_t{0}, std::int64_t{1}, std::string(), kConn},
                       "ZR.Shop Object/2")
                      .result)
                  .rows.size(),
              1u);

    // Other paths and verbs.
    for (const char* path : {"/", "/rds", "/rds/lumora.demon", "/rds/lumora.demon/GETSQL/x"}) {
        auto res = m_client->Post(path, body, "application/json");
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 404) << path;
        EXPECT_EQ(wire::decodeError(res->body).value().first, 429) << path;
    }
    auto res = m_client->Get(wire::callPath("lumora.demon", "GETSQL").c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 405);
    EXPECT_TRUE(wire::decodeError(res->body).has_value()) << res->body;
    expectStillServing();
}

TEST_F(CentralServiceTest, MalformedCalls) {
    auto expectInvalid = [&](const std::string& method, const std::string& body,
                             const std::string& says) {
        auto [number, description] = failing(400, method, body);
        EXPECT_EQ(number, 5) << body;
        EXPECT_EQ(description.rfind("Invalid procedure call or argument: ", 0), 0u) << description;
        EXPECT_NE(description.find(says), std::string::npos) << description;
    };
    expectInvalid("PutPSM13", "this is not JSON", "not JSON");
    expectInvalid("PutPSM13", "", "not JSON");
    expectInvalid("PutPSM13", R"({"arguments": []})", "args");
    expectInvalid("PutPSM13", R"({"args": [1.5]})", "argument 0");
    expectInvalid("PutPSM13", R"({"args": [[["a"], ["b", "c"]]]})", "row 1");
    expectInvalid("PutPSM13", R"({"args": [{"a": 1}]})", "argument 0");

    // Argument counts.
    std::vector<Argument> six = putPsm13("1", "K");
    six.pop_back();
    expectInvalid("PutPSM13", wire::encodeRequest(six), "7 or 8 arguments, not 6");
    std::vector<Argument> nine = putPsm13("1", "K");
    nine.push_back(std::string("Y"));
    nine.push_back(std::string("Y"));
    expectInvalid("PutPSM13", wire::encodeRequest(nine), "not 9");
    expectInvalid("putcard", wire::encodeRequest({cards({cardRow("B", "A")}), std::string()}),
                  "putcard takes 3 arguments, not 2");
    expectInvalid("GETSQL", wire::encodeRequest({}), "not 0");

    // Argument kinds.
    std::vector<Argument> wrong = putPsm13("1", "K");
    wrong[0] = std::string("TPE as text");
    expectInvalid("PutPSM13", wire::encodeRequest(wrong), "argument 0 (TPE)");
    wrong = putPsm13("1", "K");
    wrong[1] = TextArray(3);  // a 1-D array with elements is no table
    expectInvalid("PutPSM13", wire::encodeRequest(wrong), "argument 1 (TPS)");
    wrong = putPsm13("1", "K");
    wrong[5] = std::int64_t{7};
    expectInvalid("PutPSM13", wire::encodeRequest(wrong), "argument 5");
    wrong = putPsm13("1", "K");
    wrong.push_back(std::int64_t{1});
    expectInvalid("PutPSM13", wire::encodeRequest(wrong), "argument 7");
    expectInvalid("GETSQL",
                  wire::encodeRequest(
                      {std::string("x"), std::string("0"), std::int64_t{1}, std::string(), kConn}),
                  "argument 1");
    expectInvalid("PUTSQL", wire::encodeRequest({std::string("x"), std::string(), kConn}),
                  "one-dimensional");
    EXPECT_EQ(count("SALE_HDR"), 0);
    expectStillServing();
}

TEST_F(CentralServiceTest, CredentialsOfTheConnectionString) {
    const std::string lookup = " SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S1' ";
    auto withConn = [&](const std::string& conn) {
        return wire::encodeRequest({lookup, std::int64_t{0}, std::int64_t{1}, std::string(), conn});
    };
    for (const std::string& conn : {
             std::string("DRIVER={MySQL ODBC 3.51 Driver};DATABASE=veldon_demo;UID=veldon;PWD=x"),
             std::string("DATABASE=veldon_demo;UID=someone;PWD=mv5529"),
             std::string("DATABASE=other;UID=veldon;PWD=mv5529"),
             std::string("DATABASE=veldon_demo;UID=VELDON;PWD=mv5529"),
             std::string("UID=veldon;PWD=mv5529"),
             std::string(""),
         }) {
        auto [number, description] = failing(401, "GETSQL", withConn(conn));
        EXPECT_EQ(number, 70) << conn;
        EXPECT_EQ(description.rfind("Permission denied: ", 0), 0u) << description;
        EXPECT_EQ(description.find("mv5529"), std::string::npos) << "a password in " << description;
    }
    // Keys in any case, in any order, braced values.
    for (const std::string& conn : {
             std::string("uid=veldon;Pwd=mv5529;database=veldon_demo"),
             std::string("DATABASE={veldon_demo};UID={veldon};PWD={mv5529};"),
         }) {
        auto res = post("lumora.demon", "GETSQL", withConn(conn));
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200) << conn << ": " << res->body;
    }
    // Credentials are checked before anything is stored.
    std::vector<Argument> sale = putPsm13("1", "K");
    sale[5] = std::string("UID=veldon;PWD=wrong;DATABASE=veldon_demo");
    EXPECT_EQ(failing(401, "PutPSM13", wire::encodeRequest(sale)).first, 70);
    EXPECT_EQ(count("SALE_HDR"), 0);
    expectStillServing();
}

TEST_F(CentralServiceTest, WithoutAccountsEveryCallIsRefused) {
    m_client.reset();
    m_service->stop();
    m_config.accounts.clear();
    startService();
    auto [number, description] = failing(
        401, "GETSQL",
        wire::encodeRequest({std::string(" SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S1' "),
                             std::int64_t{0}, std::int64_t{1}, std::string(), kConn}));
    EXPECT_EQ(number, 70);
    EXPECT_NE(description.find("no accounts"), std::string::npos) << description;
    EXPECT_EQ(failing(401, "PutPSM13", wire::encodeRequest(putPsm13("1", "K"))).first, 70);
    EXPECT_EQ(count("SALE_HDR"), 0);
}

TEST_F(CentralServiceTest, BodyLimit) {
    // Just under the limit: a large but valid sale.
    std::vector<Argument> big = putPsm13("1", "BIG");
    big[1] = table(100, 20, std::string(10, 'x'));
    const std::string fits = wire::encodeRequest(big);
    ASSERT_LT(fits.size(), kBodyLimit);
    ASSERT_GT(fits.size(), kBodyLimit / 2);
    auto res = post("lumora.demon", "PutPSM13", fits);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;

    std::string tooLarge = wire::encodeRequest({std::string(kBodyLimit, 'a')});
    auto [number, description] = failing(413, "PutPSM13", tooLarge);
    EXPECT_EQ(number, 7);
    EXPECT_NE(description.find(std::to_string(kBodyLimit)), std::string::npos) << description;
    expectStillServing();
}

TEST_F(CentralServiceTest, KeptAliveConnectionAndConcurrentShops) {
    m_client->set_keep_alive(true);
    for (int i = 0; i < 20; ++i) {
        expectStillServing();
    }
    m_client->stop();

    // Shops upload at once, each on its own connection.
    constexpr int kShops = 8;
    constexpr int kSales = 15;
    std::atomic<int> accepted{0};
    std::vector<std::thread> shops;
    for (int shop = 0; shop < kShops; ++shop) {
        shops.emplace_back([&, shop] {
            httplib::Client client("127.0.0.1", m_service->port());
            client.set_keep_alive(true);
            for (int sale = 0; sale < kSales; ++sale) {
                const std::string id = std::to_string(shop) + "-" + std::to_string(sale);
                auto res =
                    client.Post(wire::callPath("lumora.demon", "PutPSM13").c_str(),
                                wire::encodeRequest(putPsm13(id, "K" + id)), "application/json");
                if (res && res->status == 200 &&
                    std::get<bool>(wire::decodeAnswer(res->body).result)) {
                    ++accepted;
                }
            }
            client.stop();
        });
    }
    for (std::thread& t : shops) {
        t.join();
    }
    EXPECT_EQ(accepted, kShops * kSales);
    EXPECT_EQ(count("SALE_HDR"), kShops * kSales);
}

TEST_F(CentralServiceTest, StartStop) {
    // A second start is refused; stop twice is harmless; the port is free again afterwards.
    EXPECT_THROW(m_service->start(), Error);
    const int port = m_service->port();
    m_client.reset();
    m_service->stop();
    m_service->stop();
    ServiceConfig again = m_config;
    again.port = port;
    CentralService second(again, *m_store);
    EXPECT_EQ(second.start(), port);
    httplib::Client client("127.0.0.1", port);
    EXPECT_TRUE(client.Get("/"));
    second.stop();
    EXPECT_FALSE(client.Get("/"));

    // A port that is taken already.
    CentralService third(again, *m_store);
    EXPECT_EQ(third.start(), port);
    CentralService fourth(again, *m_store);
    EXPECT_THROW(fourth.start(), Error);
}

TEST_F(CentralServiceTest, StopAnswersCallsInFlight) {
    // A shop on a raw connection: one whole call (so a worker holds the connection), then half of
    // a second call while the service is told to stop.
    const int sock = rawConnect();
    auto sendAll = [&](const std::string& bytes) { rawSend(sock, bytes); };
    auto receive = [&](bool untilClosed) { return rawReceive(sock, untilClosed); };
    const std::string body =
        wire::encodeRequest({std::string(" SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S1' "),
                             std::int64_t{0}, std::int64_t{1}, std::string(), kConn});
    const std::string head = "POST " + wire::callPath("lumora.demon", "GETSQL") +
                             " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                             "Content-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n";
    sendAll(head + body);
    EXPECT_EQ(receive(false).rfind("HTTP/1.1 200", 0), 0u);

    sendAll(head + body.substr(0, body.size() / 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto stopped = std::async(std::launch::async, [&] { m_service->stop(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "stop() returned with a call in flight";
    sendAll(body.substr(body.size() / 2));
    const std::string answer = receive(true);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    EXPECT_NE(answer.find("강남점"), std::string::npos) << answer;
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    close(sock);
}

TEST_F(CentralServiceTest, RequestsRefusedBeforeAnyMethod) {
    // A small memory budget, so that a body within the size limit can still be too much, and two
    // connections an address.
    m_service->stop();
    m_config.limits.memoryBudget = 16 * 1024;
    m_config.limits.maxConnectionsPerAddress = 2;
    startService();
    const std::string path = wire::callPath("lumora.demon", "GETSQL");
    const std::string body =
        wire::encodeRequest({std::string(" SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S1' "),
                             std::int64_t{0}, std::int64_t{1}, std::string(), kConn});
    const std::string call =
        "POST " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    const struct {
        std::string request;
        const char* answer;
    } cases[] = {
        {"POST " + path + " HTTP/1.1\r\n\r\n", "HTTP/1.1 411 "},
        {"POST " + path + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 501 "},
        {"POST " + path + " HTTP/1.1\r\nContent-Length: 12x\r\n\r\n", "HTTP/1.1 400 "},
        {"POST " + path + " HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n",
         "HTTP/1.1 400 "},
        {"POST " + path + " HTTP/2.0\r\n\r\n", "HTTP/1.1 505 "},
        {"POST " + path + " HTTP/1.1\r\nX: " + std::string(20000, 'x') + "\r\n\r\n",
         "HTTP/1.1 431 "},
        {"POST " + path + " HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n", "HTTP/1.1 413 "},
        {"POST " + path + " HTTP/1.1\r\nContent-Length: 20000\r\n\r\n", "HTTP/1.1 503 "},
        // Two calls in one send, the second asking to close: both answered, in order.
        {call + "\r\n" + body + call + "Connection: close\r\n\r\n" + body, "HTTP/1.1 200 "},
        // HTTP/1.0 closes after its answer unless asked otherwise.
        {"POST " + path + " HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\n\r\n" + body,
         "HTTP/1.1 200 "},
    };
    for (const auto& c : cases) {
        const int sock = rawConnect();
        rawSend(sock, c.request);
        const std::string answer = rawReceive(sock, true);  // every case ends with a close
        close(sock);
        EXPECT_EQ(answer.rfind(c.answer, 0), 0u) << c.request.substr(0, 80) << "\n" << answer;
        EXPECT_NE(answer.find("Connection: close"), std::string::npos) << answer;
        if (answer.rfind("HTTP/1.1 200 ", 0) != 0) {
            EXPECT_TRUE(wire::decodeError(answer.substr(answer.find("\r\n\r\n") + 4))) << answer;
        } else if (c.request.find("HTTP/1.1") != std::string::npos) {
            EXPECT_NE(answer.find("HTTP/1.1 200 ", 1), std::string::npos) << "second answer";
        }
    }
    // Two requests half sent hold the address's two connections: a third is refused at once.
    const int first = rawConnect();
    const int second = rawConnect();
    rawSend(first, "POST " + path);
    rawSend(second, "POST " + path);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int third = rawConnect();
    EXPECT_EQ(rawReceive(third, true).rfind("HTTP/1.1 503 ", 0), 0u);
    for (const int sock : {first, second, third}) {
        close(sock);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the service sees them close
    expectStillServing();
}

TEST(ConnectionValueTest, ReadsOdbcConnectionStrings) {
    const std::string conn =
        "DRIVER={MySQL ODBC 3.51 Driver};SERVER=127.0.0.1;DATABASE=veldon_demo;UID=veldon;"
        "PWD=mv5529;OPTION=16386";
    EXPECT_EQ(connectionValue(conn, "UID"), "veldon");
    EXPECT_EQ(connectionValue(conn, "pwd"), "mv5529");
    EXPECT_EQ(connectionValue(conn, "Database"), "veldon_demo");
    EXPECT_EQ(connectionValue(conn, "DRIVER"), "MySQL ODBC 3.51 Driver");
    EXPECT_EQ(connectionValue(conn, "OPTION"), "16386");
    EXPECT_EQ(connectionValue(conn, "PORT"), "");
    EXPECT_EQ(connectionValue("PWD={a;b}}c};UID=u", "PWD"), "a;b}c");
    EXPECT_EQ(connectionValue("PWD={a;b}}c};UID=u", "UID"), "u");
    EXPECT_EQ(connectionValue(" uid =u; UID=v", "UID"), "u");  // the first one counts
    EXPECT_EQ(connectionValue("junk;;UID=u;", "UID"), "u");
    EXPECT_EQ(connectionValue("PWD=a=b", "PWD"), "a=b");
    EXPECT_EQ(connectionValue("", "UID"), "");
    EXPECT_EQ(connectionValue("UID", "UID"), "");
}

// ---- The built program.

class VeldonCentralToolTest : public ::testing::Test {
protected:
    test::ToolRun run(const std::vector<std::string>& args) {
        return test::runTool("central/veldon-central", args, m_dir / "config", m_dir.path());
    }
    TempDir m_dir;
};

TEST_F(VeldonCentralToolTest, AddShopThenStats) {
    const std::string db = (m_dir / "central.db").string();
    test::ToolRun r =
        run({"--db", db, "add-shop", "--store", "S1", "--store-name", "강남점", "--depot", "H1",
             "--depot-name", "본점창고", "--pos", "01", "--pos-name", "카운터1"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"--db", db, "add-shop", "--store", "S1", "--store-name", "강남점", "--pos", "02",
             "--pos-name", "카운터2"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"--db", db, "stats"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("RCT 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("HCT 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("POS 2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SALE_HDR 0\n"), std::string::npos) << r.out;
    EXPECT_EQ(run({"--db", db, "stats", "--store", "S1"}).out,
              "sales 0\ncard approvals 0\ndeleted lines 0\n");

    r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("add-shop"), std::string::npos);
    for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
             {},
             {"--db", db},
             {"--db", db, "add-shop"},
             {"--db", db, "add-shop", "--store"},
             {"--db", db, "stats", "extra"},
             {"--db", db, "frobnicate"},
             {"--listen", "127.0.0.1", "--db", db},
             {"--listen", "127.0.0.1:99999", "--db", db},
             {"--listen", "127.0.0.1:0", "--db", db, "--account", "nocolons"},
             {"--listen", "127.0.0.1:0", "--db", db, "--threads", "0"},
             {"--bogus"},
         }) {
        r = run(wrong);
        EXPECT_EQ(r.status, 2) << (wrong.empty() ? "(none)" : wrong.back()) << ": " << r.err;
        EXPECT_NE(r.err.find("veldon-central: "), std::string::npos) << r.err;
    }
    // A store file that cannot be opened, or is not there, is a failure, not a usage error; stats
    // creates none.
    r = run({"--db", (m_dir / "no" / "such" / "folder" / "c.db").string(), "stats"});
    EXPECT_EQ(r.status, 1) << r.err;
    r = run({"--db", (m_dir / "missing.db").string(), "stats"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("not found"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(m_dir / "missing.db"));
    EXPECT_EQ(run({"--version"}).out, "veldon-central 1.0.19\n");
}

TEST_F(VeldonCentralToolTest, ServesUntilSigterm) {
    const std::string db = (m_dir / "central.db").string();
    ASSERT_EQ(run({"--db", db, "add-shop", "--store", "S1", "--store-name", "강남점"}).status, 0);

    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string log = (m_dir / "central.err").string();
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string program = (test::buildDir() / "central/veldon-central").string();
    std::vector<std::string> args = {program,
                                     "--listen",
                                     "127.0.0.1:0",
                                     "--db",
                                     db,
                                     "--account",
                                     "veldon:mv5529:veldon_demo",
                                     "--threads",
                                     "4"};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);

    // The first line says where it listens.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buffer[256];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            line.append(buffer, static_cast<std::size_t>(n));
        }
    }
    const std::string prefix = "veldon-central listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    EXPECT_NE(line.find(", store " + db + "\n"), std::string::npos) << line;
    const int port = std::stoi(line.substr(prefix.size()));

    httplib::Client client("127.0.0.1", port);
    auto res = client.Post(
        wire::callPath("lumora.demon", "GETSQL").c_str(),
        wire::encodeRequest({std::string(" SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S1' "),
                             std::int64_t{0}, std::int64_t{1}, std::string(), kConn}),
        "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    EXPECT_NE(res->body.find("강남점"), std::string::npos) << res->body;
    // A call with a wrong password: one line on standard error, without the password.
    res = client.Post(wire::callPath("lumora.demon", "PUTSQL").c_str(),
                      wire::encodeRequest({TextArray(2), std::string(),
                                           std::string("UID=veldon;PWD=guessed7;DATABASE=x")}),
                      "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(out[0]);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string logged = test::readFile(log);
    EXPECT_NE(logged.find(" 127.0.0.1 - PUTSQL 401 failed: Permission denied"), std::string::npos)
        << logged;
    EXPECT_EQ(logged.find("guessed7"), std::string::npos) << logged;
    EXPECT_NE(logged.find(" calls 2, refused 0, failed 1\n"), std::string::npos) << logged;
}

}  // namespace
}  // namespace veldon::central
