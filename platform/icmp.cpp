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
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
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
constexpr std::size_t MinIpHeaderSize = 20;

std::uint16_t readBigEndian16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

std::uint32_t readBigEndian32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
           static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
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

// The length of the IPv4 header `packet` starts with, or 0 when it holds none in full.
std::size_t ipHeaderSize(std::span<const std::uint8_t> packet) {
    if (packet.empty() || packet[0] >> 4 != 4) {
        return 0;
    }
    // Counted in 32-bit words; options make it longer than the minimum.
    const std::size_t size = static_cast<std::size_t>(packet[0] & 0x0f) * 4;
    return size >= MinIpHeaderSize && packet.size() >= size ? size : 0;
}

// The ICMP errors icmp.dll hands back as the echo's result. Source quench (4) and redirect (5)
// are left out: the one is obsolete and ignored by hosts, the other only advises a better
// gateway while the request travels on, so neither says anything about the line.
bool isErrorAboutADatagram(std::uint8_t type) {
    return type == 3 || type == 11 || type == 12;
}

// Whether the first bytes of an ICMP message are our echo request. A datagram socket's
// identifier is the kernel's, not ours, and is not compared.
bool isOurRequest(std::span<const std::uint8_t> icmp, IcmpSocketKind kind, std::uint16_t identifier,
                  std::uint16_t sequence) {
    return icmp.size() >= IcmpHeaderSize && icmp[0] == EchoRequestType &&
           (kind != IcmpSocketKind::Raw || readBigEndian16(&icmp[4]) == identifier) &&
           readBigEndian16(&icmp[6]) == sequence;
}

enum class QueuedErrors { Ours, NoneOurs, Unreadable };

// Reads the ICMP errors the kernel queued for the socket (IP_RECVERR) until one is about our
// request to `target` or none is left.
QueuedErrors readQueuedErrors(int fd, IcmpSocketKind kind, std::uint16_t identifier,
                              std::uint16_t sequence, in_addr_t target) {
    for (;;) {
        // The kernel returns the ICMP header we sent; room for more is not needed.
        std::array<std::uint8_t, 64> payload{};
        iovec data{payload.data(), payload.size()};
        // The original destination, which the kernel takes from the quoted IP header.
        sockaddr_in destination{};
        alignas(cmsghdr)
            std::array<char, CMSG_SPACE(sizeof(sock_extended_err) + sizeof(sockaddr_in))>
                control{};
        msghdr message{};
        message.msg_name = &destination;
        message.msg_namelen = sizeof destination;
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        const ssize_t size = ::recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (size < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? QueuedErrors::NoneOurs
                                                           : QueuedErrors::Unreadable;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) {
                continue;
            }
            sock_extended_err error{};
            std::memcpy(&error, CMSG_DATA(c), sizeof error);
            if (error.ee_origin == SO_EE_ORIGIN_ICMP && isErrorAboutADatagram(error.ee_type) &&
                message.msg_namelen >= sizeof destination &&
                destination.sin_addr.s_addr == target &&
                isOurRequest(std::span(payload.data(), static_cast<std::size_t>(size)), kind,
                             identifier, sequence)) {
                return QueuedErrors::Ours;
            }
        }
    }
}

}  // namespace

bool answersEcho(std::span<const std::uint8_t> packet, IcmpSocketKind kind,
                 std::uint16_t identifier, std::uint16_t sequence, std::uint32_t source,
                 std::uint32_t target) {
    if (kind == IcmpSocketKind::Raw) {
        // A raw socket hands over the IP header first.
        const std::size_t headerSize = ipHeaderSize(packet);
        if (headerSize == 0) {
            return false;
        }
        packet = packet.subspan(headerSize);
    }
    if (packet.size() < IcmpHeaderSize) {
        return false;
    }
    if (packet[0] == EchoReplyType) {
        return source == target &&
               (kind != IcmpSocketKind::Raw || readBigEndian16(&packet[4]) == identifier) &&
               readBigEndian16(&packet[6]) == sequence;
    }
    // An error quotes the IP header and the first 8 bytes of the datagram it is about. Only a
    // raw socket receives errors as packets; a datagram socket gets them in its error queue.
    if (kind != IcmpSocketKind::Raw || !isErrorAboutADatagram(packet[0])) {
        return false;
    }
    const std::span<const std::uint8_t> quoted = packet.subspan(IcmpHeaderSize);
    const std::size_t quotedHeaderSize = ipHeaderSize(quoted);
    return quotedHeaderSize != 0 && quoted[9] == IPPROTO_ICMP &&
           readBigEndian32(&quoted[16]) == target &&
           isOurRequest(quoted.subspan(quotedHeaderSize), kind, identifier, sequence);
}

IcmpEchoSocket::IcmpEchoSocket(IcmpSocketKind kind) : m_kind(kind) {
    m_fd = ::socket(AF_INET, (kind == IcmpSocketKind::Raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC,
                    IPPROTO_ICMP);
    if (m_fd >= 0 && kind == IcmpSocketKind::Datagram) {
        // ICMP errors about our request reach a datagram socket only through its error queue.
        // Without the queue the echo still works; such errors then go unseen.
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    }
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
    // Big enough for an IP header with options and an error quoting our request with another
    // IP header with options; longer packets are not ours.
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
        if ((waiting.revents & POLLNVAL) != 0) {
            return false;
        }
        if ((waiting.revents & POLLERR) != 0) {
            // Until the queue is empty and the pending error taken, poll would report it again
            // at once.
            const QueuedErrors queued =
                readQueuedErrors(m_fd, m_kind, identifier(), sequence, expected.sin_addr.s_addr);
            if (queued == QueuedErrors::Ours) {
                return true;
            }
            if (queued == QueuedErrors::Unreadable) {
                return false;
            }
            int pending = 0;
            socklen_t pendingSize = sizeof pending;
            ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &pending, &pendingSize);
        }
        if ((waiting.revents & POLLIN) == 0) {
            continue;
        }
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t size = ::recvfrom(m_fd, packet.data(), packet.size(), MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&from), &fromSize);
        // A failed read reports an ICMP error that arrived since the poll, once; the error
        // queue holds it too and the next round reads it there.
        if (size >= 0 && answersEcho(std::span(packet.data(), static_cast<std::size_t>(size)),
                                     m_kind, identifier(), sequence, ntohl(from.sin_addr.s_addr),
                                     ntohl(expected.sin_addr.s_addr))) {
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
