#include "app/passwordpad.h"

#include <algorithm>
#include <cstdio>

#include "platform/value.h"

namespace veldon {

std::string hourlyPassword(const DateTime& now) {
    const std::uint64_t stamp = static_cast<std::uint64_t>(now.year % 100) * 1000000 +
                                static_cast<std::uint64_t>(now.month) * 10000 +
                                static_cast<std::uint64_t>(now.day) * 100 +
                                static_cast<std::uint64_t>(now.hour);
    char text[32];
    std::snprintf(text, sizeof text, "%08llu",
                  static_cast<unsigned long long>(stamp * PasswordMultiplier));
    return text;
}

PasswordPad::PasswordPad(const Clock& clock, MessageSink& messages)
    : m_clock(clock), m_messages(messages) {}

void PasswordPad::clear() {
    m_entered.clear();
    TXT_PWD.clear();
}

void PasswordPad::cmdNo_Click(int index) {
    if (index >= 0 && index <= 9) {
        const char digit = static_cast<char>('0' + index);
        m_entered += digit;
        TXT_PWD += digit;
    } else if (index == 10) {
        clear();
        focusRequested = true;
        PasswordOK = false;
    } else if (index == 12) {
        if (TXT_PWD != hourlyPassword(m_clock.now())) {
            m_messages.show("비밀번호가 일치하지 않습니다.    ", MessageIcon::Critical,
                            "비밀번호오류");
            clear();
            focusRequested = true;
            return;
        }
        clear();
        PasswordOK = true;
        closed = true;
    } else if (index == 13) {
        PasswordOK = false;
        closed = true;
    }
}

bool PasswordPad::TXT_PWD_KeyPress(int keyAscii) {
    const std::string text = trimBlanks(TXT_PWD);
    const auto characters = std::count_if(text.begin(), text.end(), [](unsigned char c) {
        return (c & 0xC0) != 0x80;  // not a continuation byte of UTF-8
    });
    if (keyAscii != 13 || characters != 8) {
        return false;
    }
    cmdNo_Click(12);
    return true;
}

}  // namespace veldon
