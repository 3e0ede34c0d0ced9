// Every packet here goes to 127.0.0.0/8, which the loopback interface answers itself.
#include "platform/icmp.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace veldon {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// An echo reply as a datagram socket receives it: the ICMP header alone (checksum left 0, the
// matching does not look at it).
std::vector<std::uint8_t> icmpPacket(std::uint8_t type, std::uint16_t identifier,
                                     std::uint16_t sequence) {
    return {type,
            0,
            0,
            0,
            static_cast<std::uint8_t>(identifier >> 8),
            static_cast<std::uint8_t>(identifier),
            static_cast<std::uint8_t>(sequence >> 8),
            static_cast<std::uint8_t>(sequence)};
}

// The same behind an IPv4 header of `optionWords` 32-bit words of options, as a raw socket
// receives it.
std::vector<std::uint8_t> withIpHeader(const std::vector<std::uint8_t>& icmp, int optionWords = 0) {
    std::vector<std::uint8_t> packet(20 + 4 * optionWords, 0);
    packet[0] = static_cast<std::uint8_t>(0x40 | (5 + optionWords));
    packet[8] = 64;
    packet[9] = IPPROTO_ICMP;
    packet.insert(packet.end(), icmp.begin(), icmp.end());
    return packet;
}

bool matches(const std::vector<std::uint8_t>& packet, IcmpSocketKind kind, std::uint16_t id,
             std::uint16_t sequence) {
    return isEchoReply(packet, kind, id, sequence);
}

TEST(IcmpEchoReply, RawSocketPacketsMatchOnTypeIdentifierAndSequence) {
    const auto raw = IcmpSocketKind::Raw;
    EXPECT_TRUE(matches(withIpHeader(icmpPacket(0, 0x1234, 7)), raw, 0x1234, 7));
    // The IP header's length is read from the packet, not assumed.
    EXPECT_TRUE(matches(withIpHeader(icmpPacket(0, 0x1234, 7), 3), raw, 0x1234, 7));

    // A raw socket also sees the request itself on its way out to the loopback address.
    EXPECT_FALSE(matches(withIpHeader(icmpPacket(8, 0x1234, 7)), raw, 0x1234, 7));
    EXPECT_FALSE(matches(withIpHeader(icmpPacket(3, 0x1234, 7)), raw, 0x1234, 7));
    // Another program's echo, or an earlier one of ours.
    EXPECT_FALSE(matches(withIpHeader(icmpPacket(0, 0x4321, 7)), raw, 0x1234, 7));
    EXPECT_FALSE(matches(withIpHeader(icmpPacket(0, 0x1234, 8)), raw, 0x1234, 7));
    // Without the IP header the ICMP bytes would be read at the wrong place.
    EXPECT_FALSE(matches(icmpPacket(0, 0x1234, 7), raw, 0x1234, 7));
}

TEST(IcmpEchoReply, DatagramSocketPacketsMatchOnTypeAndSequenceOnly) {
    const auto datagram = IcmpSocketKind::Datagram;
    // The kernel puts its own identifier into the request, so the reply's is not ours.
    EXPECT_TRUE(matches(icmpPacket(0, 0x9999, 7), datagram, 0x1234, 7));
    EXPECT_FALSE(matches(icmpPacket(0, 0x1234, 8), datagram, 0x1234, 7));
    EXPECT_FALSE(matches(icmpPacket(8, 0x1234, 7), datagram, 0x1234, 7));
}

TEST(IcmpEchoReply, TruncatedPacketsNeverMatch) {
    const std::vector<std::uint8_t> reply = withIpHeader(icmpPacket(0, 0x1234, 7));
    for (std::size_t size = 0; size < reply.size(); ++size) {
        const std::vector<std::uint8_t> cut(reply.begin(), reply.begin() + size);
        EXPECT_FALSE(matches(cut, IcmpSocketKind::Raw, 0x1234, 7)) << size << " bytes";
    }
    const std::vector<std::uint8_t> shortIcmp{0, 0, 0, 0, 0x12, 0x34, 0};
    EXPECT_FALSE(matches(shortIcmp, IcmpSocketKind::Datagram, 0x1234, 7));
    // A header length below the 20-byte minimum is no IPv4 packet.
    std::vector<std::uint8_t> badLength = reply;
    badLength[0] = 0x44;
    EXPECT_FALSE(matches(badLength, IcmpSocketKind::Raw, 0x1234, 7));
}

bool anyIcmpSocket() {
    return IcmpEchoSocket(IcmpSocketKind::Raw).isOpen() ||
           IcmpEchoSocket(IcmpSocketKind::Datagram).isOpen();
}

TEST(IcmpEcho, LoopbackAnswersAtOnce) {
    if (!anyIcmpSocket()) {
        EXPECT_EQ(sendEcho("127.0.0.1", 2700ms, 255), EchoOutcome::NoSocket);
        GTEST_SKIP() << "the system lets this process open no ICMP socket";
    }
    const auto start = Clock::now();
    EXPECT_EQ(sendEcho("127.0.0.1", 2700ms, 255), EchoOutcome::Reply);
    EXPECT_LT(Clock::now() - start, 1s);
    // Every address of 127.0.0.0/8 is the machine itself.
    EXPECT_EQ(sendEcho("127.0.0.2", 2700ms, 255), EchoOutcome::Reply);
}

TEST(IcmpEcho, AnAddressThatIsNoDottedIpv4AddressGetsNoReply) {
    EXPECT_EQ(sendEcho("127.0.0.256", 2700ms, 255), EchoOutcome::NoReply);
    EXPECT_EQ(sendEcho("localhost", 2700ms, 255), EchoOutcome::NoReply);
    EXPECT_EQ(sendEcho("", 2700ms, 255), EchoOutcome::NoReply);
}

void expectLoopbackReplies(IcmpSocketKind kind) {
    EXPECT_EQ(sendEcho("127.0.0.1", 2700ms, 255, kind), EchoOutcome::Reply);
    EXPECT_EQ(sendEcho("127.0.0.3", 2700ms, 255, kind), EchoOutcome::Reply);
}

TEST(IcmpEcho, RawSocketGetsTheReply) {
    if (!IcmpEchoSocket(IcmpSocketKind::Raw).isOpen()) {
        GTEST_SKIP() << "a raw ICMP socket needs root or CAP_NET_RAW";
    }
    expectLoopbackReplies(IcmpSocketKind::Raw);
}

TEST(IcmpEcho, DatagramSocketGetsTheReplyOrSaysItHasNoSocket) {
    if (IcmpEchoSocket(IcmpSocketKind::Datagram).isOpen()) {
        expectLoopbackReplies(IcmpSocketKind::Datagram);
    } else {
        // net.ipv4.ping_group_range leaves out our group: the echo must say so, not hang or lie.
        EXPECT_EQ(sendEcho("127.0.0.1", 2700ms, 255, IcmpSocketKind::Datagram),
                  EchoOutcome::NoSocket);
    }
}

// A raw listener that sees every ICMP packet arriving at the machine.
class RawListener {
public:
    RawListener() : m_fd(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)) {}
    ~RawListener() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

// What the request looks like on the wire, as a raw listener on the machine sees it arrive.
struct SeenRequest {
    int ttl = 0;
    int tos = 0;
    int ipHeaderBytes = 0;
    int totalBytes = 0;
    std::uint16_t checksumOverIcmp = 0;
};

std::optional<SeenRequest> seenRequestTo(int listener, const std::string& dotted,
                                         std::uint16_t identifier) {
    in_addr wanted{};
    inet_pton(AF_INET, dotted.c_str(), &wanted);
    std::array<std::uint8_t, 1024> packet{};
    const auto deadline = Clock::now() + 2s;
    while (Clock::now() < deadline) {
        pollfd waiting{listener, POLLIN, 0};
        if (poll(&waiting, 1, 100) <= 0) {
            continue;
        }
        const ssize_t size = recv(listener, packet.data(), packet.size(), 0);
        if (size < 28) {
            continue;
        }
        const int ihl = (packet[0] & 0x0f) * 4;
        std::uint32_t destination;
        std::memcpy(&destination, &packet[16], 4);
        const std::uint8_t* icmp = &packet[ihl];
        if (destination != wanted.s_addr || icmp[0] != 8 ||
            (icmp[4] << 8 | icmp[5]) != identifier) {
            continue;
        }
        std::uint32_t sum = 0;
        for (ssize_t i = ihl; i + 1 < size; i += 2) {
            sum += static_cast<std::uint32_t>(packet[i] << 8 | packet[i + 1]);
        }
        while (sum >> 16 != 0) {
            sum = (sum & 0xffff) + (sum >> 16);
        }
        return SeenRequest{packet[8], packet[1], ihl, static_cast<int>(size),
                           static_cast<std::uint16_t>(sum)};
    }
    return std::nullopt;
}

TEST(IcmpEcho, RequestCarriesTheTtlAndNoData) {
    const RawListener listener;
    if (listener.fd() < 0) {
        GTEST_SKIP() << "watching the request needs a raw ICMP socket (root or CAP_NET_RAW)";
    }
    for (const int ttl : {255, 17}) {
        SCOPED_TRACE(ttl);
        ASSERT_EQ(sendEcho("127.0.0.4", 2700ms, ttl, IcmpSocketKind::Raw), EchoOutcome::Reply);
        const std::optional<SeenRequest> seen =
            seenRequestTo(listener.fd(), "127.0.0.4", IcmpEchoSocket::identifier());
        ASSERT_TRUE(seen.has_value());
        EXPECT_EQ(seen->ttl, ttl);
        EXPECT_EQ(seen->tos, 0);
        EXPECT_EQ(seen->ipHeaderBytes, 20) << "no IP options";
        EXPECT_EQ(seen->totalBytes, 20 + 8) << "the ICMP header and nothing else";
        // Summing a packet together with its correct checksum gives all ones.
        EXPECT_EQ(seen->checksumOverIcmp, 0xffff);
    }
}

TEST(IcmpEcho, WaitingSkipsOtherTrafficAndEndsAtTheDeadline) {
    IcmpEchoSocket waiting(IcmpSocketKind::Raw);
    IcmpEchoSocket other(IcmpSocketKind::Raw);
    if (!waiting.isOpen() || !other.isOpen()) {
        GTEST_SKIP() << "needs raw ICMP sockets (root or CAP_NET_RAW)";
    }
    constexpr std::uint16_t awaited = 0xbeef;
    // Replies from 127.0.0.1 to another sequence, from another address to the awaited sequence,
    // and the awaited sequence's request on its way out: none is the awaited reply.
    ASSERT_TRUE(other.send("127.0.0.1", awaited + 1, 255));
    ASSERT_TRUE(other.send("127.0.0.5", awaited, 255));
    ASSERT_TRUE(other.send("127.0.0.1", awaited + 2, 255));

    const auto start = Clock::now();
    EXPECT_FALSE(waiting.awaitReply("127.0.0.1", awaited, start + 400ms));
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 400ms);
    EXPECT_LT(waited, 1500ms);

    // The same socket takes the awaited reply once it comes.
    ASSERT_TRUE(waiting.send("127.0.0.1", awaited, 255));
    EXPECT_TRUE(waiting.awaitReply("127.0.0.1", awaited, Clock::now() + 2700ms));
}

TEST(IcmpEchoOutcome, HasAText) {
    EXPECT_EQ(toString(EchoOutcome::Reply), "reply");
    EXPECT_EQ(toString(EchoOutcome::NoReply), "no reply");
    EXPECT_EQ(toString(EchoOutcome::NoSocket), "no ICMP socket");
}

}  // namespace
}  // namespace veldon
