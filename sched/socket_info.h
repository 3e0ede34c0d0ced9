// socket_Info: the connectivity probe. Before every transfer attempt the scheduler asks PingLine
// whether the shop's internet line is up; one ICMP echo to a configured host answers it.
//
// The probe never shows a message and never throws; logging a line-down answer is the caller's.
// It blocks for at most the name resolution plus ProbeTimeout.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

namespace veldon {

// The provider's public DNS resolver, probed when [PING-CHECK] DNS is empty. Only a real
// installation may contact it: tests and demos hand LineProbe a loopback default instead.
inline constexpr const char* DefaultProbeTarget = "8.8.8.8";

inline constexpr std::size_t ProbeNameMaxChars = 64;
inline constexpr std::chrono::milliseconds ProbeTimeout{2700};
inline constexpr int ProbeTtl = 255;

// The name handed to resolution: the target cut after ProbeNameMaxChars characters.
std::string probeName(const std::string& target);

// The first IPv4 address of `name` as dotted text, empty when it has none. A numeric IPv4 address
// is taken as it is, without a look-up. Names under the reserved ".invalid" domain never resolve:
// they are refused here, because the system resolver would ask the DNS servers about them.
std::string resolveProbeTarget(const std::string& name);

class LineProbe {
public:
    explicit LineProbe(std::filesystem::path programFolder,
                       std::string defaultTarget = DefaultProbeTarget);

    // True when the line is up or the probe is switched off ([PING-CHECK] DNSUSE is "N", read
    // afresh each time). `DnsAddress` is the configured target; empty means the default target.
    bool PingLine(const std::string& DnsAddress) const;

private:
    std::filesystem::path m_programFolder;
    std::string m_defaultTarget;
};

}  // namespace veldon
