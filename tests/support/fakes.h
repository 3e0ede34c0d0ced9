// The only fakes of the test suite: a clock that tests set, and message boxes that are recorded.
#pragma once

#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/messagebox.h"

namespace veldon::test {

class FakeClock : public Clock {
public:
    explicit FakeClock(DateTime now = {2024, 3, 5, 14, 7, 9}) : m_now(now) {}
    DateTime now() const override { return m_now; }
    void set(DateTime now) { m_now = now; }

private:
    DateTime m_now;
};

struct ShownMessage {
    std::string text;
    MessageIcon icon;
    std::string title;
};

class RecordingMessageSink : public MessageSink {
public:
    void show(const std::string& text, MessageIcon icon, const std::string& title) override;
    // Recorded like any message, answered with `answer`.
    bool ask(const std::string& text, MessageIcon icon, const std::string& title) override;
    std::vector<ShownMessage> messages;
    bool answer = true;
};

}  // namespace veldon::test
