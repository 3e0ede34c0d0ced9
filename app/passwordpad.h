// The settings password and the keypad dialog that asks for it (frm_password), without widgets:
// the dialog of ui/ binds its buttons and text box to a PasswordPad, and tests drive it headless.
//
// The password is never stored: it is computed from the current date and hour each time OK is
// pressed, so it changes every hour. Service staff get the current one from `veldonctl password`.
#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/messagebox.h"

namespace veldon {

// The fixed multiplier of the hourly password. Small, so that the password keeps eight digits
// (what the Enter key takes) until the end of 2049; later it has nine and only "확인" checks it.
inline constexpr std::uint64_t PasswordMultiplier = 2;

// The password of the hour `now` falls in: the stamp YYMMDDHH read as a number, times the
// multiplier, in decimal with at least eight digits.
std::string hourlyPassword(const DateTime& now);

class PasswordPad {
public:
    PasswordPad(const Clock& clock, MessageSink& messages);

    std::string TXT_PWD;          // what the box holds
    bool PasswordOK = false;      // read by the caller once the dialog has closed
    bool closed = false;          // the dialog is to close
    bool focusRequested = false;  // TXT_PWD is to get the focus

    // Keypad: 0 to 9 the digits, 10 "CLS", 12 "확인", 13 "닫기"; other indexes do nothing.
    void cmdNo_Click(int index);
    // A key pressed in TXT_PWD: Enter checks when the box holds exactly eight characters after
    // trimming blanks. True when the key was taken (the box must not handle it too).
    bool TXT_PWD_KeyPress(int keyAscii);

private:
    void clear();

    const Clock& m_clock;
    MessageSink& m_messages;
    std::string m_entered;  // the digits typed on the keypad; no part in the check
};

}  // namespace veldon
