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

namespace veldon {
namespace {

using test::RunningCentral;

// A restaurant sale of the standard engine's shape.
struct Sale {
    TextArray TPE{22}, TRT{8};
    TextTable TPS{1, 20}, TPSN{1, 7}, TAC{1, 26};
    std::string key;

    explicit Sale(const std::string& id) {
        TPE(0) = TPE(20) = TRT(0) = TPS(0, 0) = TPSN(0, 0) = TAC(0, 0) = id;
        TPE(1) = "1";
        TPE(4) = "S0001";
        TPE(21) = "01";
        TPS(0, 1) = "1";
        key = id + "01";
    }
};

long errorNumberOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& e) {
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
    EXPECT_FALSE(object()->PutPSM13_PSN(sale.TPE, sale.TPS, sale.TRT, sale.TPSN, sale.TAC, reply,
                                        connection, sale.key));
    EXPECT_TRUE(isDuplicateSaleReply(reply)) << reply;
    EXPECT_EQ(central.rows("SALE_HDR"), 1);
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
    TextTable mixed = tcd;
    mixed(0, 12) = "new0";
    mixed(2, 12) = "new2";
    EXPECT_FALSE(object()->putcard(mixed, reply, connection));
    EXPECT_EQ(duplicateCardRow(reply), 1);
    EXPECT_EQ(central.rows("CARD_APR"), 3);
}

TEST_F(DataSpaceTest, LookUpsAnswerRowsAndRefusedStatementsAReply) {
    std::string reply, sql = " SELECT RCT_NAME FROM RCT WHERE RCT_CODE = 'S0001' ";
    auto rs = object()->GETSQL(sql, 0, 1, reply, connection);
    ASSERT_EQ(rs->recordCount(), 1);
    EXPECT_EQ(rs->field("RCT_NAME").toText(), "데모 식당");
    TextArray statements(2);
    statements(1) = "DELETE FROM POS";
    reply.clear();
    EXPECT_FALSE(object()->PUTSQL(statements, reply, connection));
    EXPECT_FALSE(reply.empty());
    EXPECT_EQ(central.rows("POS"), 1);
}

TEST_F(DataSpaceTest, FailuresOfTheCallItselfAreRaisedWithTheirCause) {
    std::string reply;
    Sale sale("2403050009");
    std::string wrongPassword = "DATABASE=central;UID=veldon;PWD=x";
    EXPECT_EQ(errorNumberOf([&] {
                  object()->PutPSM13_PSN(sale.TPE, sale.TPS, sale.TRT, sale.TPSN, sale.TAC, reply,
                                         wrongPassword, sale.key);
              }),
              70);
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

private:
    int m_fd;
    int m_port;
};

TEST(DataSpaceTransport, ASilentServiceFailsAtTheDeadline) {
    DataSpace space(CallTimeouts{std::chrono::milliseconds(500), std::chrono::milliseconds(500)});
    SilentListener silent;
    const std::string url = "http://127.0.0.1:" + std::to_string(silent.port());
    std::string reply, connection = RunningCentral::Connection;
    TextTable tcd(1, 13);
    EXPECT_EQ(errorNumberOf([&] {
                  space.CreateObject("lumora.demon", url)->putcard(tcd, reply, connection);
              }),
              errc::Timeout);
}

// The service as a process of its own, killed without warning right after it answered.
TEST(CentralProcess, AnAnsweredUploadSurvivesSigkill) {
    test::TempDir dir;
    const int port = SilentListener().port();  // free once the listener is gone
    const std::string url = "http://127.0.0.1:" + std::to_string(port);
    RunningCentral{dir.path()};  // leaves a store with the shop registered
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string program = (test::buildDir() / "central" / "veldon-central").string();
        const std::string listen = "127.0.0.1:" + std::to_string(port);
        const std::string db = (dir / "central.db").string();
        freopen("/dev/null", "w", stdout);
        execl(program.c_str(), program.c_str(), "--listen", listen.c_str(), "--db", db.c_str(),
              "--account", "veldon:mv5529:central", static_cast<char*>(nullptr));
        _exit(127);
    }
    Sale sale("2403050001");
    std::string reply, connection = RunningCentral::Connection;
    bool accepted = false;
    for (int attempt = 0; attempt < 100 && !accepted; ++attempt) {
        try {
            accepted = DataSpace()
                           .CreateObject("lumora.demon", url)
                           ->PutPSM13_PSN(sale.TPE, sale.TPS, sale.TRT, sale.TPSN, sale.TAC, reply,
                                          connection, sale.key);
        } catch (const Error&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // still starting
        }
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ASSERT_TRUE(accepted) << reply;
    EXPECT_EQ(RunningCentral(dir.path()).rows("SALE_HDR"), 1);
}

}  // namespace
}  // namespace veldon
