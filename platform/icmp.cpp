#include "platform/icmp.h"

#ifdef _WIN32
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <icmpapi.h>
// clang-format on
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#endif

namespace veldon {

std::string toString(EchoOutcome outcome) {
    switch (outcome) {
        case EchoOutcome::Reply:
            return "reply";
        case EchoOutcome::NoReply:
            return "no reply";
        case EchoOutcome::NoSocket:
            return "no ICMP socket";
    }
    return "unknown";
}

#ifdef _WIN32

EchoOutcome sendEcho(const std::string& ipv4Dotted, std::chrono::milliseconds timeout, int ttl) {
    IN_ADDR address{};
    if (inet_pton(AF_INET, ipv4Dotted.c_str(), &address) != 1) {
        return EchoOutcome::NoReply;
    }
    const HANDLE icmp = IcmpCreateFile();
    if (icmp == INVALID_HANDLE_VALUE) {
        return EchoOutcome::NoSocket;
    }
    IP_OPTION_INFORMATION options{};
    options.Ttl = static_cast<UCHAR>(ttl);
    // Room for one reply to an empty request, with the slack icmp.dll asks for.
    unsigned char replies[157];
    char noData = 0;
    const DWORD count = IcmpSendEcho(icmp, address.S_un.S_addr, &noData, 0, &options, replies,
                                     sizeof replies, static_cast<DWORD>(timeout.count()));
    IcmpCloseHandle(icmp);
    // The reply's status is not examined: whatever icmp.dll stored counts.
    return count > 0 ? EchoOutcome::Reply : EchoOutcome::NoReply;
}

#else

namespace {

constexpr std::uint8_t EchoReplyType = 0;
constexpr std::uint8_t EchoRequestType = 8;
constexpr std::size_t IcmpHeaderSize = 8;

std::uint16_t readBigEndian16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

std::uint16_t internetChecksum(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        sum += readBigEndian16(&bytes[i]);
    }
    if (bytes.size() % 2 != 0) {
        sum += static_cast<std::uint32_t>(bytes.back()) << 8;
    }
    while (sum >> 16 != 0) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

bool parseAddress(const std::string& ipv4Dotted, sockaddr_in& out) {
    out = {};
    out.sin_family = AF_INET;
    return inet_pton(AF_INET, ipv4Dotted.c_str(), &out.sin_addr) == 1;
}

// Distinguishes the replies to probes that overlap within one process.
std::uint16_t nextSequence() {
    static std::atomic<std::uint16_t> sequence{1};
    return sequence.fetch_add(1);
}

}  // namespace

bool isEchoReply(std::span<const std::uint8_t> packet, IcmpSocketKind kind,
                 std::uint16_t identifier, std::uint16_t sequence) {
    if (kind == IcmpSocketKind::Raw) {
        // A raw socket hands over the IP header first; its length is in 32-bit words.
        if (packet.empty() || packet[0] >> 4 != 4) {
            return false;
        }
        const std::size_t ipHeaderSize = static_cast<std::size_t>(packet[0] & 0x0f) * 4;
        if (ipHeaderSize < 20 || packet.size() < ipHeaderSize) {
            return false;
        }
        packet = packet.subspan(ipHeaderSize);
    }
    if (packet.size() < IcmpHeaderSize || packet[0] != EchoReplyType) {
        return false;
    }
    if (kind == IcmpSocketKind::Raw && readBigEndian16(&packet[4]) != identifier) {
        return false;
    }
    return readBigEndian16(&packet[6]) == sequence;
}

IcmpEchoSocket::IcmpEchoSocket(IcmpSocketKind kind) : m_kind(kind) {
    m_fd = ::socket(AF_INET, (kind == IcmpSocketKind::Raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC,
                    IPPROTO_ICMP);
}

IcmpEchoSocket::~IcmpEchoSocket() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::uint16_t IcmpEchoSocket::identifier() {
    return static_cast<std::uint16_t>(::getpid());
}

bool IcmpEchoSocket::send(const std::string& ipv4Dotted, std::uint16_t sequence, int ttl) {
    sockaddr_in to{};
    if (!isOpen() || !parseAddress(ipv4Dotted, to)) {
        return false;
    }
    if (::setsockopt(m_fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) != 0) {
        return false;
    }
    std::array<std::uint8_t, IcmpHeaderSize> request{};
    request[0] = EchoRequestType;
    request[4] = static_cast<std::uint8_t>(identifier() >> 8);
    request[5] = static_cast<std::uint8_t>(identifier());
    request[6] = static_cast<std::uint8_t>(sequence >> 8);
    request[7] = static_cast<std::uint8_t>(sequence);
    // The kernel fills identifier and checksum of a datagram socket itself; a raw one needs both.
    const std::uint16_t checksum = internetChecksum(request);
    request[2] = static_cast<std::uint8_t>(checksum >> 8);
    request[3] = static_cast<std::uint8_t>(checksum);
    const ssize_t sent = ::sendto(m_fd, request.data(), request.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent == static_cast<ssize_t>(request.size());
}

bool IcmpEchoSocket::awaitReply(const std::string& ipv4Dotted, std::uint16_t sequence,
                                std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    sockaddr_in expected{};
    if (!isOpen() || !parseAddress(ipv4Dotted, expected)) {
        return false;
    }
    // Big enough for an IP header with options and an echo reply; longer packets are not ours.
    std::array<std::uint8_t, 1024> packet{};
    for (;;) {
        const auto left = ceil<milliseconds>(deadline - steady_clock::now());
        if (left <= milliseconds::zero()) {
            return false;
        }
        pollfd waiting{m_fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready <= 0) {
            continue;
        }
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t size = ::recvfrom(m_fd, packet.data(), packet.size(), MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (size < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                continue;
            }
            return false;
        }
        if (from.sin_addr.s_addr == expected.sin_addr.s_addr &&
            isEchoReply(std::span(packet.data(), static_cast<std::size_t>(size)), m_kind,
                        identifier(), sequence)) {
            return true;
        }
    }
}

EchoOutcome sendEcho(const std::string& ipv4Dotted, std::chrono::milliseconds timeout, int ttl,
                     IcmpSocketKind kind) {
    if (sockaddr_in address{}; !parseAddress(ipv4Dotted, address)) {
        return EchoOutcome::NoReply;
    }
    IcmpEchoSocket socket(kind);
    if (!socket.isOpen()) {
        return EchoOutcome::NoSocket;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::uint16_t sequence = nextSequence();
    if (!socket.send(ipv4Dotted, sequence, ttl)) {
        return EchoOutcome::NoReply;
    }
    return socket.awaitReply(ipv4Dotted, sequence, deadline) ? EchoOutcome::Reply
                                                             : EchoOutcome::NoReply;
}

EchoOutcome sendEcho(const std::string& ipv4Dotted, std::chrono::milliseconds timeout, int ttl) {
    const EchoOutcome raw = sendEcho(ipv4Dotted, timeout, ttl, IcmpSocketKind::Raw);
    if (raw != EchoOutcome::NoSocket) {
        return raw;
    }
    return sendEcho(ipv4Dotted, timeout, ttl, IcmpSocketKind::Datagram);
}

#endif

}  // namespace veldon
