// Message boxes: a title, a text and an icon. The window shows them; the operator tool prints them
// to standard error; tests record them. Configuration problems and settings commands are the only
// things the program reports this way.
#pragma once

#include <iosfwd>
#include <string>

namespace veldon {

enum class MessageIcon { None, Critical, Question, Exclamation, Information };

class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void show(const std::string& text, MessageIcon icon, const std::string& title) = 0;
    // A question with Yes and No buttons; true for Yes. Where nobody can answer, the message is
    // shown and the answer is No.
    virtual bool ask(const std::string& text, MessageIcon icon, const std::string& title) {
        show(text, icon, title);
        return false;
    }
};

// Prints "title: text" to a stream (standard error in the operator tool).
class StreamMessageSink : public MessageSink {
public:
    explicit StreamMessageSink(std::ostream& out);
    void show(const std::string& text, MessageIcon icon, const std::string& title) override;

private:
    std::ostream& m_out;
};

const char* iconName(MessageIcon icon);

}  // namespace veldon
