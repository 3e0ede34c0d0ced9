// Every packet here goes to 127.0.0.0/8, which the loopback interface answers itself.
#include "platform/icmp.h"

#include <gtest/gtest.h>

#ifdef _WIN32

namespace veldon {
namespace {

using namespace std::chrono_literals;

// Through icmp.dll (Wine's, in the Windows build's tests: it needs root, as a raw socket does).
TEST(IcmpEcho, LoopbackAnswersThroughTheSystemsEchoCall) {
    EXPECT_EQ(sendEcho("127.0.0.1", 2700ms, 255), EchoOutcome::Reply);
    EXPECT_EQ(sendEcho("127.0.0.999", 2700ms, 255), EchoOutcome::NoReply);
}

}  // namespace
}  // namespace veldon

#else

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

constexpr std::uint32_t Target = 0x7f000002;  // 127.0.0.2
constexpr std::uint32_t Router = 0x7f000009;  // another host on the way, in a packet only

// The same behind an IPv4 header to `destination` with `optionWords` 32-bit words of options,
// as a raw socket receives it or an ICMP error quotes it.
std::vector<std::uint8_t> withIpHeader(const std::vector<std::uint8_t>& icmp, int optionWords = 0,
                                       std::uint32_t destination = Target) {
    std::vector<std::uint8_t> packet(20 + 4 * optionWords, 0);
    packet[0] = static_cast<std::uint8_t>(0x40 | (5 + optionWords));
    packet[8] = 64;
    packet[9] = IPPROTO_ICMP;
    for (int i = 0; i < 4; ++i) {
        packet[16 + i] = static_cast<std::uint8_t>(destination >> (24 - 8 * i));
    }
    packet.insert(packet.end(), icmp.begin(), icmp.end());
    return packet;
}

// An ICMP error of `type` quoting `datagram`: the start of a packet, IP header included.
std::vector<std::uint8_t> icmpError(std::uint8_t type, const std::vector<std::uint8_t>& datagram) {
    std::vector<std::uint8_t> error{type, 1, 0, 0, 0, 0, 0, 0};
    error.insert(error.end(), datagram.begin(), datagram.end());
    return error;
}

bool matches(const std::vector<std::uint8_t>& packet, IcmpSocketKind kind, std::uint16_t id,
             std::uint16_t sequence, std::uint32_t source = Target) {
    return answersEcho(packet, kind, id, sequence, source, Target);
}

TEST(IcmpEchoReply, RepliesMatchOnTypeSourceAndSequenceAndOnARawSocketOnIdentifier) {
    const auto raw = IcmpSocketKind::Raw;
    const auto datagram = IcmpSocketKind::Datagram;
    const struct {
        const char* what;
        std::vector<std::uint8_t> packet;
        IcmpSocketKind kind;
        std::uint32_t source;
        bool counts;
    } cases[] = {
        {"raw reply", withIpHeader(icmpPacket(0, 0x1234, 7)), raw, Target, true},
        {"IP header length read from the packet", withIpHeader(icmpPacket(0, 0x1234, 7), 3), raw,
         Target, true},
        {"our own request on its way out", withIpHeader(icmpPacket(8, 0x1234, 7)), raw, Target,
         false},
        {"unreachable of another kind of packet", withIpHeader(icmpPacket(3, 0x1234, 7)), raw,
         Target, false},
        {"another program's echo", withIpHeader(icmpPacket(0, 0x4321, 7)), raw, Target, false},
        {"an earlier echo of ours", withIpHeader(icmpPacket(0, 0x1234, 8)), raw, Target, false},
        {"a reply from another host", withIpHeader(icmpPacket(0, 0x1234, 7)), raw, Router, false},
        {"no IP header on a raw socket", icmpPacket(0, 0x1234, 7), raw, Target, false},
        // The kernel puts its own identifier into a datagram socket's request.
        {"datagram reply", icmpPacket(0, 0x9999, 7), datagram, Target, true},
        {"datagram, other sequence", icmpPacket(0, 0x1234, 8), datagram, Target, false},
        {"datagram, a request", icmpPacket(8, 0x1234, 7), datagram, Target, false},
        {"datagram, another host", icmpPacket(0, 0x1234, 7), datagram, Router, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(matches(c.packet, c.kind, 0x1234, 7, c.source), c.counts) << c.what;
    }
}

TEST(IcmpEchoReply, RawSocketErrorsCountWhenTheyQuoteTheRequest) {
    const auto request = [](std::uint16_t id, std::uint16_t sequence, int optionWords = 0,
                            std::uint32_t destination = Target) {
        return withIpHeader(icmpPacket(8, id, sequence), optionWords, destination);
    };
    const auto received = [](std::uint8_t type, const std::vector<std::uint8_t>& datagram) {
        return withIpHeader(icmpError(type, datagram));
    };
    std::vector<std::uint8_t> udp = request(0x1234, 7);
    udp[9] = IPPROTO_UDP;
    const struct {
        const char* what;
        std::vector<std::uint8_t> packet;
        bool counts;
    } cases[] = {
        {"unreachable", received(3, request(0x1234, 7)), true},
        {"time exceeded, quote with options", received(11, request(0x1234, 7, 2)), true},
        {"parameter problem", received(12, request(0x1234, 7)), true},
        {"source quench", received(4, request(0x1234, 7)), false},
        {"redirect", received(5, request(0x1234, 7)), false},
        {"other sequence", received(3, request(0x1234, 8)), false},
        {"other identifier", received(3, request(0x4321, 7)), false},
        {"other destination", received(3, request(0x1234, 7, 0, 0x7f000003)), false},
        {"quoting a reply", received(3, withIpHeader(icmpPacket(0, 0x1234, 7))), false},
        {"quoting UDP", received(3, udp), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(matches(c.packet, IcmpSocketKind::Raw, 0x1234, 7, Router), c.counts) << c.what;
    }
}

TEST(IcmpEchoReply, TruncatedPacketsNeverMatch) {
    const std::vector<std::uint8_t> error =
        withIpHeader(icmpError(3, withIpHeader(icmpPacket(8, 0x1234, 7))));
    for (const auto& whole : {withIpHeader(icmpPacket(0, 0x1234, 7)), error}) {
        for (std::size_t size = 0; size < whole.size(); ++size) {
            const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + size);
            EXPECT_FALSE(matches(cut, IcmpSocketKind::Raw, 0x1234, 7)) << size << " bytes";
        }
    }
    const std::vector<std::uint8_t> shortIcmp{0, 0, 0, 0, 0x12, 0x34, 0};
    EXPECT_FALSE(matches(shortIcmp, IcmpSocketKind::Datagram, 0x1234, 7));
    // A header length below the 20-byte minimum is no IPv4 packet, one beyond the end no whole
    // header; in the error's own header or in the quoted one.
    for (const std::size_t at : {0, 28}) {
        for (const std::uint8_t versionAndLength : {0x44, 0x4f}) {
            std::vector<std::uint8_t> bad = error;
            bad[at] = versionAndLength;
            EXPECT_FALSE(matches(bad, IcmpSocketKind::Raw, 0x1234, 7)) << at;
        }
    }
}

TEST(IcmpEcho, LoopbackAnswersEitherSocketKindOrTheEchoSaysItHasNoSocket) {
    // Without root only a datagram socket may open, and only if net.ipv4.ping_group_range lets
    // our group in: the echo must then say so, not hang or lie.
    bool any = false;
    for (const auto kind : {IcmpSocketKind::Raw, IcmpSocketKind::Datagram}) {
        const bool open = IcmpEchoSocket(kind).isOpen();
        any = any || open;
        for (const char* address : {"127.0.0.1", "127.0.0.3"}) {
            EXPECT_EQ(sendEcho(address, 2700ms, 255, kind),
                      open ? EchoOutcome::Reply : EchoOutcome::NoSocket)
                << address;
        }
    }
    EXPECT_EQ(sendEcho("127.0.0.2", 2700ms, 255), any ? EchoOutcome::Reply : EchoOutcome::NoSocket);
    for (const char* notDottedIpv4 : {"127.0.0.256", "localhost", ""}) {
        EXPECT_EQ(sendEcho(notDottedIpv4, 2700ms, 255), EchoOutcome::NoReply) << notDottedIpv4;
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

// The 16-bit ones' complement sum of an even number of bytes; all ones over an ICMP message with
// its correct checksum.
std::uint16_t onesComplementSum(const std::uint8_t* bytes, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    }
    while (sum >> 16 != 0) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(sum);
}

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
        return SeenRequest{packet[8], packet[1], ihl, static_cast<int>(size),
                           onesComplementSum(icmp, static_cast<std::size_t>(size - ihl))};
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

TEST(IcmpEcho, WaitingSkipsOtherTraffic) {
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

    EXPECT_FALSE(waiting.awaitReply("127.0.0.1", awaited, Clock::now() + 400ms));

    // The same socket takes the awaited reply once it comes.
    ASSERT_TRUE(waiting.send("127.0.0.1", awaited, 255));
    EXPECT_TRUE(waiting.awaitReply("127.0.0.1", awaited, Clock::now() + 2700ms));
}

// Sends to 127.0.0.1 what a router would send back for an echo request to `destination` that it
// cannot deliver.
bool sendUnreachable(int rawSocket, std::uint32_t destination, std::uint16_t identifier,
                     std::uint16_t sequence) {
    std::vector<std::uint8_t> error =
        icmpError(3, withIpHeader(icmpPacket(8, identifier, sequence), 0, destination));
    const auto checksum =
        static_cast<std::uint16_t>(~onesComplementSum(error.data(), error.size()));
    error[2] = static_cast<std::uint8_t>(checksum >> 8);
    error[3] = static_cast<std::uint8_t>(checksum);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sendto(rawSocket, error.data(), error.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) == static_cast<ssize_t>(error.size());
}

TEST(IcmpEcho, RawSocketCountsAnErrorAboutTheRequestFromAnotherAddress) {
    IcmpEchoSocket waiting(IcmpSocketKind::Raw);
    const RawListener router;
    if (!waiting.isOpen() || router.fd() < 0) {
        GTEST_SKIP() << "needs raw ICMP sockets (root or CAP_NET_RAW)";
    }
    // No request goes out, as the loopback address would answer it: the error alone must do.
    constexpr std::uint16_t sequence = 0xcafe;
    ASSERT_TRUE(sendUnreachable(router.fd(), Target, IcmpEchoSocket::identifier(), sequence + 1));
    EXPECT_FALSE(waiting.awaitReply("127.0.0.2", sequence, Clock::now() + 300ms));
    ASSERT_TRUE(sendUnreachable(router.fd(), Target, IcmpEchoSocket::identifier(), sequence));
    EXPECT_TRUE(waiting.awaitReply("127.0.0.2", sequence, Clock::now() + 2700ms));
}

}  // namespace
}  // namespace veldon

#endif
