#include "platform/messagebox.h"

#include <ostream>

namespace veldon {

StreamMessageSink::StreamMessageSink(std::ostream& out) : m_out(out) {}

void StreamMessageSink::show(const std::string& text, MessageIcon /*icon*/,
                             const std::string& title) {
    if (!title.empty()) {
        m_out << title << ": ";
    }
    // Flushed at once: the operator tool may end right after the message.
    m_out << text << std::endl;
}

const char* iconName(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::None:
            return "None";
        case MessageIcon::Critical:
            return "Critical";
        case MessageIcon::Question:
            return "Question";
        case MessageIcon::Exclamation:
            return "Exclamation";
        case MessageIcon::Information:
            return "Information";
    }
    return "None";
}

}  // namespace veldon
