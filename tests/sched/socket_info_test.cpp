// Every probe here targets 127.0.0.0/8 or a name under ".invalid", which is refused before any
// look-up; the probe's real default target is never handed to LineProbe.
#include "sched/socket_info.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/icmp.h"
#include "tests/support/tempdir.h"

namespace veldon {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::TempDir;
using test::writeFile;

// A name whose first 64 characters spell 127.0.0.1 in hexadecimal and which, whole, lies under
// ".invalid": it reaches the loopback address only when cut before resolution.
std::string loopbackCutAt64() {
    const std::string tail = "7f.0.0.1";
    std::string name = "0x" + std::string(64 - 2 - tail.size(), '0') + tail;
    return name + ".invalid";
}

TEST(ProbeName, IsCutAfter64Characters) {
    const std::string seventy = std::string(60, 'a') + "bcdefghijk";
    ASSERT_EQ(seventy.size(), 70u);
    EXPECT_EQ(probeName(seventy), std::string(60, 'a') + "bcde");
    EXPECT_EQ(probeName(std::string(64, 'x')), std::string(64, 'x'));
    EXPECT_EQ(probeName(std::string(65, 'x')), std::string(64, 'x'));
    EXPECT_EQ(probeName("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(probeName(""), "");
    // Characters, not bytes: a name in Korean keeps 64 whole characters.
    std::string korean;
    for (int i = 0; i < 70; ++i) {
        korean += "가";
    }
    std::string expected;
    for (int i = 0; i < 64; ++i) {
        expected += "가";
    }
    EXPECT_EQ(probeName(korean), expected);
}

TEST(ResolveProbeTarget, NumericAddressesAreTakenAsTheyAre) {
    EXPECT_EQ(resolveProbeTarget("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(resolveProbeTarget("127.0.0.2"), "127.0.0.2");
    EXPECT_EQ(resolveProbeTarget("127.20.30.40"), "127.20.30.40");
    // The shortened and hexadecimal forms the platform's address parser accepts.
    EXPECT_EQ(resolveProbeTarget("127.1"), "127.0.0.1");
    EXPECT_EQ(resolveProbeTarget(probeName(loopbackCutAt64())), "127.0.0.1");
}

TEST(ResolveProbeTarget, NamesUnderInvalidNeverResolve) {
    for (const char* name : {"x.invalid", "line.down.invalid", "X.INVALID", "x.Invalid.", "invalid",
                             "127.0.0.1.invalid"}) {
        SCOPED_TRACE(name);
        const auto start = Clock::now();
        EXPECT_EQ(resolveProbeTarget(name), "");
        EXPECT_LT(Clock::now() - start, 100ms) << "refused without asking a resolver";
    }
    EXPECT_EQ(resolveProbeTarget(loopbackCutAt64()), "");
    EXPECT_EQ(resolveProbeTarget(""), "");
}

class PingLineTest : public ::testing::Test {
protected:
    // Without an ICMP socket every probe is a line down; the cases that need a reply skip then.
    static bool echoPossible() {
#ifdef _WIN32
        return true;  // icmp.dll
#else
        return IcmpEchoSocket(IcmpSocketKind::Raw).isOpen() ||
               IcmpEchoSocket(IcmpSocketKind::Datagram).isOpen();
#endif
    }
    void writeIni(const std::string& pingCheck) {
        writeFile(m_dir / "UpdatePath.ini",
                  "[업데이트정보]\r\n업데이트경로=외식업후불\r\n"
                  "[PING-CHECK]\r\n" +
                      pingCheck);
    }
    // A probe whose default target answers, so that a True shows the default was used.
    LineProbe probe(const std::string& defaultTarget = "127.0.0.2") const {
        return LineProbe(m_dir.path(), defaultTarget);
    }

    TempDir m_dir;
};

TEST_F(PingLineTest, CapitalNSwitchesTheProbeOff) {
    // A probe of these targets would fail, so True means none was sent.
    for (const char* dnsUse : {"N", "  N  ", "\"N\""}) {
        SCOPED_TRACE(dnsUse);
        writeIni("DNS=line.down.invalid\r\nDNSUSE=" + std::string(dnsUse) + "\r\n");
        EXPECT_TRUE(probe("default.invalid").PingLine("line.down.invalid"));
        EXPECT_TRUE(probe("default.invalid").PingLine(""));
    }
}

TEST_F(PingLineTest, DnsUseIsReadAfreshAtEveryProbe) {
    const LineProbe lineProbe = probe();
    writeIni("DNSUSE=N\r\n");
    EXPECT_TRUE(lineProbe.PingLine("line.down.invalid"));
    writeIni("DNSUSE=Y\r\n");
    EXPECT_FALSE(lineProbe.PingLine("line.down.invalid"));
}

TEST_F(PingLineTest, AnUnresolvableTargetIsALineDownAtOnce) {
    const auto start = Clock::now();
    EXPECT_FALSE(probe().PingLine("line.down.invalid"));
    EXPECT_LT(Clock::now() - start, 500ms) << "nothing to wait for without an address";
}

TEST_F(PingLineTest, TheConfiguredTargetOrElseTheDefaultIsProbed) {
    if (!echoPossible()) {
        GTEST_SKIP() << "no ICMP socket for this process";
    }
    const struct {
        const char* ini;  // "-": no UpdatePath.ini at all
        std::string target;
        const char* defaultTarget;
        bool up;
    } cases[] = {
        {"-", "127.0.0.1", "127.0.0.2", true},
        {"-", "line.down.invalid", "127.0.0.2", false},
        // Anything but a capital N leaves the probe on.
        {"DNSUSE=n", "line.down.invalid", "127.0.0.2", false},
        {"DNSUSE=No", "line.down.invalid", "127.0.0.2", false},
        {"DNSUSE=N N", "line.down.invalid", "127.0.0.2", false},
        {"DNSUSE=0", "line.down.invalid", "127.0.0.2", false},
        {"DNSUSE=", "127.0.0.1", "default.invalid", true},
        {"DNS=\r\nDNSUSE=Y", "", "127.0.0.2", true},
        {"DNS=\r\nDNSUSE=Y", "    ", "127.0.0.2", true},
        {"DNS=\r\nDNSUSE=Y", " ", "default.invalid", false},
        {"DNSUSE=Y", "  127.0.0.3  ", "default.invalid", true},
        {"DNSUSE=Y", loopbackCutAt64(), "default.invalid", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.ini) + " / \"" + c.target + "\"");
        if (std::string(c.ini) == "-") {
            std::filesystem::remove(m_dir / "UpdatePath.ini");
        } else {
            writeIni(std::string(c.ini) + "\r\n");
        }
        EXPECT_EQ(probe(c.defaultTarget).PingLine(c.target), c.up);
    }
}

}  // namespace
}  // namespace veldon
