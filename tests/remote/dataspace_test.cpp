// The remote object client against the real reference service on 127.0.0.1, through real HTTP.
#include "remote/dataspace.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/error.h"
#include "remote/replies.h"
#include "tests/support/central.h"
#include "tests/support/tempdir.h"
#include "tests/support/toolrun.h"

namespace veldon {
namespace {

using test::RunningCentral;

// A restaurant sale of the standard engine's shape.
struct Sale {
    TextArray TPE{22}, TRT{8};
    TextTable TPS{1, 20}, TPSN{1, 7}, TAC{1, 26};
    std::string key;

    explicit Sale(const std::string& id, const std::string& store = "S0001") {
        TPE(0) = TPE(20) = TRT(0) = TPS(0, 0) = TPSN(0, 0) = TAC(0, 0) = id;
        TPE(1) = "1";
        TPE(4) = store;
        TPE(21) = "01";
        TPS(0, 1) = "1";
        key = id + "01";
    }
};

long errorNumberOf(const std::function<void()>& call, std::string* description = nullptr) {
    try {
        call();
    } catch (const Error& e) {
        if (description) {
            *description = e.description();
        }
        return e.number();
    }
    return 0;
}

class DataSpaceTest : public ::testing::Test {
protected:
    std::unique_ptr<RemoteObject> object(const std::string& progId = "lumora.demon") {
        return space.CreateObject(progId, central.url());
    }

    test::TempDir dir;
    RunningCentral central{dir.path()};
    DataSpace space;
    std::string connection = RunningCentral::Connection;
};

TEST_F(DataSpaceTest, SalesAreStoredOnceAndADuplicateIsWrittenBackAsTheReply) {
    Sale sale("2403050001");
    std::string reply = "left over";
    EXPECT_TRUE(object()->PutPSM13_PSN(sale.TPE, sale.TPS, sale.TRT, sale.TPSN, sale.TAC, reply,
                                       connection, sale.key));
    EXPECT_EQ(reply, "");
    reply.clear();
    EXPECT_FALSE(object()->PutPSM13_PSN(sale.TPE, sale.TPS, sale.TRT, sale.TPSN, sale.TAC, reply,
                                        connection, sale.key));
    EXPECT_TRUE(isDuplicateSaleReply(reply)) << reply;
    EXPECT_EQ(central.rows("SALE_HDR"), 1);

    // The delivery engine's method, and the retail one with 7 and with 8 arguments.
    TextArray tdlv(11);
    Sale delivered("2403050002");
    delivered.TPE.resize(24);
    delivered.TPE(0) = "2403050002";
    delivered.TPE(4) = "S0001";
    delivered.TPE(21) = "01";
    EXPECT_TRUE(object()->PutPSM13_SIN(delivered.TPE, delivered.TPS, delivered.TRT, delivered.TPSN,
                                       delivered.TAC, tdlv, reply, connection, delivered.key));
    Sale retail("17");
    retail.key = "S0001-20240305-0017";
    EXPECT_TRUE(object("VARNIK.MEM")
                    ->PutPSM13(retail.TPE, retail.TPS, retail.TRT, retail.TAC, reply, connection,
                               retail.key));
    Sale retailY("18");
    retailY.key = "S0001-20240305-0018";
    EXPECT_TRUE(object("VARNIK.MEM")
                    ->PutPSM13(retailY.TPE, retailY.TPS, retailY.TRT, retailY.TAC, reply,
                               connection, retailY.key, "Y"));
    EXPECT_EQ(central.rows("SALE_HDR"), 4);
    EXPECT_EQ(central.rows("SALE_DLV"), 1);
}

TEST_F(DataSpaceTest, ACardBatchIsStoredWholeOrNotAtAll) {
    TextTable tcd(3, 13);
    for (std::size_t r = 0; r < 3; ++r) {
        tcd(r, 0) = std::to_string(17 + r);
        tcd(r, 1) = "S0001";
        tcd(r, 2) = "1";
        tcd(r, 12) = "1234567" + std::to_string(r);
    }
    std::string reply;
    EXPECT_TRUE(object()->putcard(tcd, reply, connection));
    EXPECT_FALSE(object()->putcard(tcd, reply, connection));
    EXPECT_EQ(duplicateCardRow(reply), 0);

    // A new batch whose second row is held already stores none of its rows.
    TextTable mixed(3, 13);
    for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t s = 0; s < 13; ++s) {
            mixed(r, s) = tcd(r, s);
        }
        mixed(r, 12) = "new" + std::to_string(r);
    }
    mixed(1, 12) = tcd(1, 12);
    EXPECT_FALSE(object()->putcard(mixed, reply, connection));
    EXPECT_EQ(duplicateCardRow(reply), 1);
    EXPECT_EQ(central.rows("CARD_APR"), 3);
}

TEST_F(DataSpaceTest, LookUpsAndStatementsGoOnlyThroughTheAgentsOwnShapes) {
    std::string reply;
    std::string sql = " SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S0001' ";
    auto rs = object()->GETSQL(sql, 0, 1, reply, connection);
    ASSERT_EQ(rs->recordCount(), 1);
    EXPECT_EQ(rs->field("RCT_NAME").toText(), "데모 식당");

    // A quote is data: the injection is a store code that does not exist.
    sql = " SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'x' OR '1'='1' ";
    EXPECT_EQ(object()->GETSQL(sql, 0, 1, reply, connection)->recordCount(), 0);

    TextArray statements(2);
    statements(1) =
        " UPDATE POS SET VELDON_VER = '1.0.19' , VELDON_VER_SDATE = Now() WHERE "
        "POS_ID = '01' AND  RCT_CODE = 'S0001'";
    EXPECT_TRUE(object()->PUTSQL(statements, reply, connection));

    statements(1) = "DELETE FROM POS";
    reply.clear();
    EXPECT_FALSE(object()->PUTSQL(statements, reply, connection));
    EXPECT_FALSE(reply.empty());
    EXPECT_EQ(central.rows("POS"), 1);
}

TEST_F(DataSpaceTest, FailuresOfTheCallItselfAreRaisedWithTheirCause) {
    std::string description;
    std::string reply;
    Sale sale("2403050009");

    std::string wrongPassword = "DRIVER={MySQL ODBC 3.51 Driver};DATABASE=central;UID=veldon;PWD=x";
    EXPECT_EQ(errorNumberOf(
                  [&] {
                      object()->PutPSM13_PSN(sale.TPE, sale.TPS, sale.TRT, sale.TPSN, sale.TAC,
                                             reply, wrongPassword, sale.key);
                  },
                  &description),
              70)
        << description;
    EXPECT_EQ(
        errorNumberOf([&] { object("no.such.object")->putcard(sale.TPS, reply, connection); }),
        429);
    EXPECT_EQ(errorNumberOf([&] { object()->call("NoSuchMethod", {}); }), 438);
    EXPECT_EQ(errorNumberOf([&] { space.CreateObject("lumora.demon", "http://"); }),
              errc::CannotCreateObject);
    // The service still answers after all of that.
    EXPECT_TRUE(object()->PutPSM13_PSN(sale.TPE, sale.TPS, sale.TRT, sale.TPSN, sale.TAC, reply,
                                       connection, sale.key));
}

// A listening socket on 127.0.0.1 that never answers.
class SilentListener {
public:
    SilentListener() {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(m_fd, 4);
        socklen_t len = sizeof a;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
    }
    ~SilentListener() { close(m_fd); }
    int port() const { return m_port; }
    // The port, closed: nothing listens there any more.
    static int deadPort() { return SilentListener().port(); }

private:
    int m_fd;
    int m_port;
};

TEST(DataSpaceTransport, UnreachableAndSilentServicesFailWithinTheTimeouts) {
    CallTimeouts quick;
    quick.connect = std::chrono::milliseconds(500);
    quick.deadline = std::chrono::milliseconds(500);
    DataSpace space(quick);
    std::string reply;
    std::string connection = RunningCentral::Connection;
    TextTable tcd(1, 13);

    const int dead = SilentListener::deadPort();
    std::string description;
    EXPECT_EQ(errorNumberOf(
                  [&] {
                      space
                          .CreateObject("lumora.demon", "http://127.0.0.1:" + std::to_string(dead))
                          ->putcard(tcd, reply, connection);
                  },
                  &description),
              errc::CannotConnect);
    EXPECT_NE(description.find("127.0.0.1"), std::string::npos) << description;

    SilentListener silent;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        errorNumberOf([&] {
            space.CreateObject("lumora.demon", "http://127.0.0.1:" + std::to_string(silent.port()))
                ->putcard(tcd, reply, connection);
        }),
        errc::Timeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

// The service as a process of its own, killed without warning right after it answered.
TEST(CentralProcess, AnAnsweredUploadSurvivesSigkill) {
    test::TempDir dir;
    const std::string db = (dir / "central.db").string();
    ASSERT_EQ(test::runTool(
                  "central/veldon-central",
                  {"--db", db, "add-shop", "--store", "S0001", "--store-name", "가게", "--depot",
                   "H01", "--depot-name", "창고", "--pos", "01", "--pos-name", "카운터"},
                  dir / "config", dir.path())
                  .status,
              0);
    const int port = SilentListener::deadPort();
    auto startService = [&] {
        pid_t pid = fork();
        if (pid == 0) {
            const std::string program = (test::buildDir() / "central" / "veldon-central").string();
            const std::string listen = "127.0.0.1:" + std::to_string(port);
            freopen("/dev/null", "w", stdout);
            execl(program.c_str(), program.c_str(), "--listen", listen.c_str(), "--db", db.c_str(),
                  "--account", "veldon:mv5529:central", static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    };
    auto upload = [&](std::string& reply) {
        DataSpace space;
        std::string connection = RunningCentral::Connection;
        Sale sale("2403050001");
        for (int attempt = 0;; ++attempt) {
            try {
                return space
                    .CreateObject("lumora.demon", "http://127.0.0.1:" + std::to_string(port))
                    ->PutPSM13_PSN(sale.TPE, sale.TPS, sale.TRT, sale.TPSN, sale.TAC, reply,
                                   connection, sale.key);
            } catch (const Error&) {
                if (attempt > 100) {
                    throw;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));  // still starting
            }
        }
    };

    pid_t pid = startService();
    std::string reply;
    ASSERT_TRUE(upload(reply));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);

    pid = startService();
    EXPECT_FALSE(upload(reply));
    EXPECT_TRUE(isDuplicateSaleReply(reply)) << reply;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace veldon
