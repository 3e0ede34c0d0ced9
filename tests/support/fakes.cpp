#include "tests/support/fakes.h"

namespace veldon::test {

void RecordingMessageSink::show(const std::string& text, MessageIcon icon,
                                const std::string& title) {
    messages.push_back({text, icon, title});
}

bool RecordingMessageSink::ask(const std::string& text, MessageIcon icon,
                               const std::string& title) {
    show(text, icon, title);
    return answer;
}

}  // namespace veldon::test
