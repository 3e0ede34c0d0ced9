// Message boxes of the window: QMessageBox with the icon and title the program gives. Safe to call
// from the thread that runs a transfer: the box is then shown by the window's thread while the
// caller waits for it to be closed.
#pragma once

#include <QObject>

#include "platform/messagebox.h"

class QWidget;

namespace veldon::ui {

class QtMessageSink : public QObject, public MessageSink {
    Q_OBJECT
public:
    explicit QtMessageSink(QWidget* parent = nullptr);

    void show(const std::string& text, MessageIcon icon, const std::string& title) override;
    bool ask(const std::string& text, MessageIcon icon, const std::string& title) override;

private:
    bool present(const std::string& text, MessageIcon icon, const std::string& title,
                 bool question);
    QWidget* m_parent;
};

// The program's texts break lines with CR; Qt breaks them with LF.
QString messageText(const std::string& text);

}  // namespace veldon::ui
