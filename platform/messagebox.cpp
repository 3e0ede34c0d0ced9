#include "platform/messagebox.h"

#include <ostream>
#include <string>

namespace veldon {

StreamMessageSink::StreamMessageSink(std::ostream& out) : m_out(out) {}

void StreamMessageSink::show(const std::string& text, MessageIcon /*icon*/,
                             const std::string& title) {
    if (!title.empty()) {
        m_out << title << ": ";
    }
    // A message box breaks lines with CR; a terminal would write over the line instead.
    std::string lines;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            lines += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else {
            lines += text[i];
        }
    }
    // Flushed at once: the operator tool may end right after the message.
    m_out << lines << std::endl;
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
