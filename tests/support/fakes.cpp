#include "tests/support/fakes.h"

namespace veldon::test {

void RecordingMessageSink::show(const std::string& text, MessageIcon icon,
                                const std::string& title) {
    messages.push_back({text, icon, title});
}

}  // namespace veldon::test
