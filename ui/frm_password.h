// The settings password dialog: a keypad bound to the headless PasswordPad, which holds what the
// dialog does. Shown modally; the caller reads PasswordOK afterwards.
#pragma once

#include <QDialog>
#include <array>

#include "app/passwordpad.h"

class QLineEdit;
class QPushButton;

namespace veldon::ui {

class frm_password : public QDialog {
    Q_OBJECT
public:
    frm_password(const Clock& clock, MessageSink& messages, QWidget* parent = nullptr);

    bool PasswordOK() const { return m_pad.PasswordOK; }
    QLineEdit* TXT_PWD() const { return m_text; }
    // The keypad by index: 0 to 9, 10 "CLS", 12 "확인", 13 "닫기"; no index 11.
    QPushButton* cmdNo(int index) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void press(int index);
    void reflect();

    PasswordPad m_pad;
    QLineEdit* m_text;
    std::array<QPushButton*, 14> m_keys{};
};

}  // namespace veldon::ui
