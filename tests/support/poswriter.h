// The POS program at work while the agent runs: a second connection that records open tables in
// the shop's database, an insert and an update at a time, as a till does, until it is stopped.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace veldon::test {

class PosWriter {
public:
    // `busyTimeout`: how long one write waits for the lock before it fails.
    PosWriter(const std::filesystem::path& database, std::chrono::milliseconds busyTimeout);
    ~PosWriter() { stop(); }

    void stop();
    int writes() const { return m_writes; }
    int failures() const { return m_failures; }
    const std::string& firstFailure() const { return m_firstFailure; }  // after stop()

private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_writes{0};
    std::atomic<int> m_failures{0};
    std::string m_firstFailure;
    std::thread m_thread;
};

}  // namespace veldon::test
