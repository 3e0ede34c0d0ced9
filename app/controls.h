// A headless model of the main window's controls. The settings procedures and the start-up
// sequence read and write these; the window binds its widgets to them, and tests drive them
// without a display. Names are the window's own.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace veldon {

struct TextBox {
    std::string Text;
    bool Visible = true;
    bool Enabled = true;
};

struct Label {
    std::string Caption;
    bool Visible = true;
};

struct CheckBox {
    int Value = 0;  // 0 cleared, 1 checked
    bool Visible = true;
    bool Enabled = true;
};

struct OptionButton {
    std::string Caption;
    bool Value = false;
    bool Visible = true;
    bool Enabled = true;
};

struct Frame {
    bool Visible = true;
    bool Enabled = true;
};

struct ComboBox {
    std::vector<std::string> items;
    int ListIndex = -1;  // -1: nothing selected
};

struct CommandButton {
    std::string Caption;
    bool Enabled = true;
};

struct Timer {
    int Interval = 0;  // milliseconds; 0 means no ticks
    bool Enabled = true;
};

enum class PointerShape { Default, Hourglass };

struct MainWindowControls {
    int SSTab1 = 0;                                     // the settings tab shown
    PointerShape MousePointer = PointerShape::Default;  // the hourglass while an engine runs

    std::array<TextBox, 4> Text1;  // servers, user configuration, object name
    Label LaPath;                  // local data folder
    TextBox Text2;                 // local database file name
    // 0 batch, 1 real time. The real-time box and its group are never shown: clearing the batch
    // box selects the real-time method.
    std::array<CheckBox, 2> Check1{CheckBox{}, CheckBox{0, false}};
    std::array<Frame, 2> Frame2{Frame{}, Frame{false}};  // the groups of Check1's options
    std::array<OptionButton, 4> Option1{
        OptionButton{"일일(당일)스캔"}, OptionButton{"전체스캔"},  // batch group
        OptionButton{"전체스캔", false, false}, OptionButton{"일일(당일)스캔", false, false}};
    TextBox Text3;                // scan interval
    TextBox Text4, Text5, Text6;  // store code, depot code, counter id
    std::array<Label, 3> laRecv;  // store, depot and counter names
    ComboBox Combo1{{"0 도소매", "1 외식업"}};
    CheckBox Check2{0, false};       // send deleted lines (retail)
    CheckBox chkDelivery{0, false};  // send delivery data (restaurant)
    Label LBL_MEMO{"", false};       // the note beside chkDelivery
    Label Label7;                    // time of the last transfer run
    Label lbliMsg;                   // blinks while the line is down
    CommandButton Command3{"회사정보 확인"};
    std::array<CommandButton, 5> Command2{CommandButton{"종료"}, CommandButton{"강제스캔"},
                                          CommandButton{"서비스 시작"},
                                          CommandButton{"서비스 종료"}, CommandButton{"적용"}};
    Timer Timer1{0, true};      // the one-minute transfer timer
    Timer Timer3{1000, false};  // the status blink
};

}  // namespace veldon
