// One ICMP echo request to an IPv4 address: the only packet the connectivity probe sends.
//
// The request carries no data (the 8-byte ICMP header only), type of service 0, no IP options and
// the time-to-live the caller gives. What counts as an answer within the timeout is what the
// Windows echo call stores as one: the echo reply from that address, or an ICMP error about the
// request (destination unreachable, time exceeded, parameter problem) from any host on the way.
// Other ICMP traffic is ignored. The caller resolves names and decides what an answer means.
//
// What an installation needs:
//  - Windows: nothing; icmp.dll is part of the system.
//  - Linux, either of:
//    * a raw ICMP socket, tried first: the process runs as root or holds CAP_NET_RAW
//      (`setcap cap_net_raw+ep <program>`);
//    * an unprivileged ICMP datagram socket: net.ipv4.ping_group_range covers one of the
//      process's groups (`sysctl -w net.ipv4.ping_group_range="0 2147483647"`, or a range
//      holding the shop user's group; kept in /etc/sysctl.d/ to survive a restart).
//    Without either, every echo reports NoSocket and the line always counts as down.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

namespace veldon {

enum class EchoOutcome {
    Reply,     // an echo reply or an error about the request came within the timeout
    NoReply,   // none came in time, the address is no dotted IPv4 address, or sending failed
    NoSocket,  // the platform let the process open no way of sending ICMP
};

std::string toString(EchoOutcome outcome);

// One echo request, waiting at most `timeout` for the reply.
EchoOutcome sendEcho(const std::string& ipv4Dotted, std::chrono::milliseconds timeout, int ttl);

#ifndef _WIN32

enum class IcmpSocketKind {
    Raw,       // sees every ICMP packet of the host, IP header included; identifier is ours
    Datagram,  // sees only replies to its own requests, without IP header; kernel sets identifier
};

// The same through one kind of socket only, so that each path can be checked on its own.
EchoOutcome sendEcho(const std::string& ipv4Dotted, std::chrono::milliseconds timeout, int ttl,
                     IcmpSocketKind kind);

// The steps of sendEcho, open so that tests can wait without sending and check the deadline.
class IcmpEchoSocket {
public:
    explicit IcmpEchoSocket(IcmpSocketKind kind);
    ~IcmpEchoSocket();
    IcmpEchoSocket(const IcmpEchoSocket&) = delete;
    IcmpEchoSocket& operator=(const IcmpEchoSocket&) = delete;

    // False when the platform refused this kind of socket.
    bool isOpen() const { return m_fd >= 0; }
    IcmpSocketKind kind() const { return m_kind; }

    // Sends one echo request without data; false when the address is no dotted IPv4 address or
    // the platform refused to send.
    bool send(const std::string& ipv4Dotted, std::uint16_t sequence, int ttl);
    // Waits until the answer to `sequence` sent to the address arrives (true) or `deadline`
    // passes (false), skipping every other packet and error.
    bool awaitReply(const std::string& ipv4Dotted, std::uint16_t sequence,
                    std::chrono::steady_clock::time_point deadline);

    // The identifier a raw socket's requests carry.
    static std::uint16_t identifier();

private:
    IcmpSocketKind m_kind;
    int m_fd = -1;
};

// Whether a packet as one kind of socket receives it from `source` answers the echo request
// with `identifier` and `sequence` sent to `target` (addresses in host byte order, 0x7f000001
// for 127.0.0.1): the echo reply from the target, or on a raw socket an ICMP error from any
// sender that quotes the request. A datagram socket's identifier is rewritten by the kernel and
// not compared.
bool answersEcho(std::span<const std::uint8_t> packet, IcmpSocketKind kind,
                 std::uint16_t identifier, std::uint16_t sequence, std::uint32_t source,
                 std::uint32_t target);

#endif

}  // namespace veldon
