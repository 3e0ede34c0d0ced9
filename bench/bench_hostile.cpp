// The central service under hostile load, with an honest shop uploading all the while.
//
// Starts the built veldon-central on loopback with its default limits (except a short request
// deadline, so that the run can see dripping connections cut off) and attacks it from other
// loopback addresses (127.0.0.x, x > 1) for a bounded time:
//   - idle: 500 connections that never send a byte, reopened as the service closes them;
//   - slowloris: 130 connections that drip a request one byte a second, from two addresses
//     (the per-address limit refuses what exceeds it), reopened as they are cut off;
//   - memory: 24 clients, each from an address of its own, sending 4 MiB bodies of empty texts
//     as fast as they are answered: one shape past the protocol's bounds (a row of a million
//     slots), one within them (rows of 13 slots, 1.3 million texts) that costs memory to decode.
// An honest shop on 127.0.0.1 uploads restaurant sales through the agent's client, first while
// the idle and dripping connections are open, then while the memory attack runs as well.
// Prints the honest calls' latencies, the attackers' answers and the service's peak memory
// (VmHWM); with --check, exits 1 unless every honest call was accepted within 2 s, the dripping
// connections were cut off, and the peak memory stayed within the service's memory budget plus
// 96 MB.
//
// Usage: bench_hostile [--seconds S] [--work DIR] [--check]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/benchsales.h"
#include "central/store.h"
#include "platform/error.h"
#include "remote/dataspace.h"

extern char** environ;

namespace {

using namespace veldon;
using Clock = std::chrono::steady_clock;

constexpr int kIdle = 500;
constexpr int kSlow = 130;
constexpr int kHeavy = 24;
constexpr std::size_t kHeavyBody = 4 * 1024 * 1024;
constexpr long kDefaultBudgetMb = 256;  // veldon-central's default --memory
constexpr long kBoundMb = kDefaultBudgetMb + 96;
constexpr double kHonestLimitMs = 2000;

// A connection from 127.0.0.<host> to the service; -1 when it could not be made.
int connectFrom(int host, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7f000000u | static_cast<unsigned>(host));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// The HTTP status the service answered on `fd`, 0 when it closed without one.
int readStatus(int fd) {
    char buffer[4096];
    std::string head;
    while (head.find("\r\n") == std::string::npos) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return 0;
        }
        head.append(buffer, static_cast<std::size_t>(n));
    }
    return head.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(head.c_str() + 9) : 0;
}

// True when the peer closed `fd` (or answered and closed): the service cut the connection off.
bool closedByPeer(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) {
        return false;
    }
    char buffer[512];
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {  // an answer (408 or 503): the close follows
        return true;
    }
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

std::string request(const std::string& body) {
    return "POST /rds/lumora.demon/PutPSM13 HTTP/1.1\r\nHost: central\r\nContent-Type: "
           "application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// {"args":[[...]]} with `rows` rows of `slots` empty texts, filling about `bytes`.
std::string emptyTexts(std::size_t bytes, std::size_t slots) {
    std::string row = "[";
    for (std::size_t s = 0; s < slots; ++s) {
        row += s ? ",\"\"" : "\"\"";
    }
    row += "]";
    std::string body = "{\"args\":[[";
    while (body.size() + row.size() + 4 < bytes) {
        body += body.size() > 10 ? "," + row : row;
    }
    return body + "]]}";
}

long memoryKb(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::atol(line.c_str() + std::strlen(field) + 1);
        }
    }
    return -1;
}

struct Service {
    pid_t pid = -1;
    int port = 0;
};

Service startService(const std::filesystem::path& program, const std::filesystem::path& db,
                     const std::filesystem::path& log) {
    int out[2];
    if (pipe(out) != 0) {
        throw std::runtime_error("no pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {program.string(),
                                     "--listen",
                                     "127.0.0.1:0",
                                     "--db",
                                     db.string(),
                                     "--account",
                                     "veldon:mv5529:bench",
                                     "--request-seconds",
                                     "4"};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    Service service;
    if (posix_spawn(&service.pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start " + program.string());
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    char c = 0;
    while (line.find('\n') == std::string::npos && read(out[0], &c, 1) == 1) {
        line += c;
    }
    close(out[0]);
    const std::string prefix = "veldon-central listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) {
        throw std::runtime_error("veldon-central did not start: " + line);
    }
    service.port = std::atoi(line.c_str() + prefix.size());
    return service;
}

struct Attack {
    std::atomic<bool> stop{false};
    std::atomic<long> idleReopened{0};
    std::atomic<long> slowCutOff{0};
    std::atomic<long> slowRefusedAtOnce{0};
    std::mutex mutex;
    std::map<int, long> heavyAnswers;  // HTTP status -> count
};

// Keeps kIdle connections open from 127.0.0.10 to 127.0.0.19, reopening the closed ones.
void idleAttack(Attack& attack, int port) {
    std::vector<int> fds(kIdle, -1);
    while (!attack.stop) {
        for (int i = 0; i < kIdle; ++i) {
            if (fds[i] >= 0 && closedByPeer(fds[i])) {
                close(fds[i]);
                fds[i] = -1;
                ++attack.idleReopened;
            }
            if (fds[i] < 0) {
                fds[i] = connectFrom(10 + i % 10, port);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    for (int fd : fds) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

// Drips a request a byte a second on kSlow connections from 127.0.0.20 and 127.0.0.21.
void slowAttack(Attack& attack, int port) {
    const std::string drip = "POST /rds/lumora.demon/PutPSM13 HTTP/1.1\r\nX-Drip: ";
    struct Slow {
        int fd = -1;
        std::size_t sent = 0;
    };
    std::vector<Slow> slow(kSlow);
    while (!attack.stop) {
        for (int i = 0; i < kSlow; ++i) {
            Slow& s = slow[i];
            if (s.fd >= 0 && closedByPeer(s.fd)) {
                close(s.fd);
                s.fd = -1;
                if (s.sent <= 1) {
                    ++attack.slowRefusedAtOnce;
                } else {
                    ++attack.slowCutOff;
                }
            }
            if (s.fd < 0) {
                s.fd = connectFrom(20 + i % 2, port);
                s.sent = 0;
            }
            const char byte = s.sent < drip.size() ? drip[s.sent] : 'x';
            if (s.fd >= 0 && send(s.fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) {
                ++s.sent;
            }
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    for (const Slow& s : slow) {
        if (s.fd >= 0) {
            close(s.fd);
        }
    }
}

// One client of the memory attack from 127.0.0.<host>, sending `body` until the attack stops.
void heavyAttack(Attack& attack, int port, int host, const std::string& body) {
    const std::string wire = request(body);
    while (!attack.stop) {
        const int fd = connectFrom(host, port);
        int status = 0;
        if (fd >= 0) {
            // The service may answer and close before the whole body is sent.
            sendAll(fd, wire);
            status = readStatus(fd);
            close(fd);
        }
        std::lock_guard lock(attack.mutex);
        ++attack.heavyAnswers[status];
    }
}

struct Honest {
    std::vector<double> latencies;  // sorted, ms
    long refused = 0;

    double at(double q) const {
        return latencies.empty()
                   ? 0.0
                   : latencies[std::min(latencies.size() - 1,
                                        static_cast<std::size_t>(q * latencies.size()))];
    }
    void print(const char* what) const {
        std::printf(
            "%-30s %5zu uploads, %ld refused or failed; p50 %7.2f ms, p99 %7.2f ms, max "
            "%7.2f ms\n",
            what, latencies.size(), refused, at(0.5), at(0.99),
            latencies.empty() ? 0.0 : latencies.back());
    }
};

// The honest shop: one sale after another with a breath between, as a catch-up sends them.
Honest honestShop(DataSpace& space, int port, double seconds, long& n) {
    Honest h;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        const auto t0 = Clock::now();
        try {
            h.refused += bench::upload(space, port, false, n++) ? 0 : 1;
        } catch (const Error& e) {
            std::cerr << "honest call failed: " << e.description() << "\n";
            ++h.refused;
        }
        h.latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::sort(h.latencies.begin(), h.latencies.end());
    return h;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 12;
    bool check = false;
    std::filesystem::path work = "bench-out/hostile";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::max(6.0, std::atof(argv[++i]));
        } else if (arg == "--work" && i + 1 < argc) {
            work = argv[++i];
        } else if (arg == "--check") {
            check = true;
        } else {
            std::cerr << "usage: bench_hostile [--seconds S] [--work DIR] [--check]\n";
            return 2;
        }
    }
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    signal(SIGPIPE, SIG_IGN);

    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);
    const std::filesystem::path db = work / "central.db";
    central::openSqliteStore(db)->addShop(
        {"S0001", "데모 식당", "H01", "본사창고", "01", "카운터1"});
    const std::filesystem::path program =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "central" /
        "veldon-central";
    Service service;
    try {
        service = startService(program, db, work / "central.err");
    } catch (const std::exception& e) {
        std::cerr << "bench_hostile: " << e.what() << "\n";
        return 1;
    }
    const long startKb = memoryKb(service.pid, "VmRSS:");

    Attack attack;
    std::vector<std::thread> attackers;
    attackers.emplace_back(idleAttack, std::ref(attack), service.port);
    attackers.emplace_back(slowAttack, std::ref(attack), service.port);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the connections are open
    long n = 0;
    DataSpace space;
    const Honest held = honestShop(space, service.port, seconds / 2 - 2, n);

    const std::string pastBounds = emptyTexts(kHeavyBody, 1'000'000);
    const std::string withinBounds = emptyTexts(kHeavyBody, 13);
    for (int i = 0; i < kHeavy; ++i) {
        attackers.emplace_back(heavyAttack, std::ref(attack), service.port, 30 + i,
                               std::cref(i % 2 ? pastBounds : withinBounds));
    }
    const Honest starved = honestShop(space, service.port, seconds / 2, n);
    const long peakKb = memoryKb(service.pid, "VmHWM:");
    attack.stop = true;
    for (std::thread& t : attackers) {
        t.join();
    }
    kill(service.pid, SIGTERM);
    int status = 0;
    waitpid(service.pid, &status, 0);

    std::printf(
        "veldon-central on loopback under attack for %.0f s (%d idle, %d slowloris, then "
        "%d memory clients)\n",
        seconds, kIdle, kSlow, kHeavy);
    held.print("honest shop, idle+slowloris");
    starved.print("honest shop, + memory attack");
    std::printf("idle connections    reopened after the service closed them: %ld\n",
                attack.idleReopened.load());
    std::printf(
        "slowloris           cut off by the request deadline: %ld, refused at once (per "
        "address): %ld\n",
        attack.slowCutOff.load(), attack.slowRefusedAtOnce.load());
    std::printf("memory attack       answers:");
    for (const auto& [code, count] : attack.heavyAnswers) {
        std::printf(" %d x%ld", code, count);
    }
    std::printf("\nservice memory      at start %.1f MB, peak %.1f MB (bound %ld MB)\n",
                startKb / 1024.0, peakKb / 1024.0, kBoundMb);
    if (!check) {
        return 0;
    }
    bool ok = true;
    const auto expect = [&ok](bool good, const char* what) {
        if (!good) {
            std::printf("CHECK FAILED: %s\n", what);
            ok = false;
        }
    };
    for (const Honest* h : {&held, &starved}) {
        expect(!h->latencies.empty() && h->refused == 0, "every honest upload is accepted");
        expect(h->latencies.empty() || h->latencies.back() < kHonestLimitMs,
               "every honest upload is answered within 2 s");
    }
    expect(attack.slowCutOff > 0, "dripping connections are cut off");
    expect(peakKb > 0 && peakKb / 1024 <= kBoundMb, "peak memory within the bound");
    expect(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the service stops cleanly");
    return ok ? 0 : 1;
}
