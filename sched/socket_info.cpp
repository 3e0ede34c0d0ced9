#include "sched/socket_info.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

#include "app/frm_inipath.h"
#include "platform/icmp.h"
#include "platform/value.h"

#ifdef _WIN32
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace veldon {

namespace {

#ifdef _WIN32
// The socket library must be started around a look-up; its result is not tested.
class SocketLibrary {
public:
    SocketLibrary() {
        WSADATA data;
        WSAStartup(0x0101, &data);
    }
    ~SocketLibrary() { WSACleanup(); }
    SocketLibrary(const SocketLibrary&) = delete;
    SocketLibrary& operator=(const SocketLibrary&) = delete;
};
#endif

// The reserved domain (RFC 6761) that the system resolver would still ask the DNS servers about.
bool isUnderInvalidDomain(std::string_view name) {
    if (name.ends_with('.')) {
        name.remove_suffix(1);
    }
    constexpr std::string_view domain = "invalid";
    if (name.size() < domain.size()) {
        return false;
    }
    const std::string_view tail = name.substr(name.size() - domain.size());
    const bool isDomain = std::equal(tail.begin(), tail.end(), domain.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
    });
    return isDomain &&
           (name.size() == domain.size() || name[name.size() - domain.size() - 1] == '.');
}

std::string firstIPv4(const std::string& name, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    // One entry per address instead of one per socket type.
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return {};
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const bool ok = inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr;
    freeaddrinfo(found);
    return ok ? text : std::string();
}

}  // namespace

std::string probeName(const std::string& target) {
    return leftChars(target, ProbeNameMaxChars);
}

std::string resolveProbeTarget(const std::string& name) {
    if (name.empty()) {
        return {};
    }
#ifdef _WIN32
    const SocketLibrary library;
#endif
    std::string address = firstIPv4(name, AI_NUMERICHOST);
    if (!address.empty()) {
        return address;
    }
    if (isUnderInvalidDomain(name)) {
        return {};
    }
    return firstIPv4(name, 0);
}

LineProbe::LineProbe(std::filesystem::path programFolder, std::string defaultTarget)
    : m_programFolder(std::move(programFolder)), m_defaultTarget(std::move(defaultTarget)) {}

bool LineProbe::PingLine(const std::string& DnsAddress) const {
    // Only a capital N switches the probe off; "n" or "NO" leave it on.
    if (trimBlanks(ReadIni(m_programFolder, "PING-CHECK", "DNSUSE")) == "N") {
        return true;
    }
    std::string target = trimBlanks(DnsAddress);
    if (target.empty()) {
        target = m_defaultTarget;
    }
    const std::string address = resolveProbeTarget(probeName(target));
    if (address.empty()) {
        return false;
    }
    return sendEcho(address, ProbeTimeout, ProbeTtl) == EchoOutcome::Reply;
}

}  // namespace veldon
