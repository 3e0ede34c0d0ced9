#include "ui/qtmessages.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

namespace veldon::ui {

QString messageText(const std::string& text) {
    QString result = QString::fromStdString(text);
    result.replace("\r\n", "\n");
    result.replace('\r', '\n');
    return result;
}

namespace {

QMessageBox::Icon qtIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Critical:
            return QMessageBox::Critical;
        case MessageIcon::Question:
            return QMessageBox::Question;
        case MessageIcon::Exclamation:
            return QMessageBox::Warning;
        case MessageIcon::Information:
            return QMessageBox::Information;
        case MessageIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

QtMessageSink::QtMessageSink(QWidget* parent) : m_parent(parent) {}

bool QtMessageSink::present(const std::string& text, MessageIcon icon, const std::string& title,
                            bool question) {
    if (QThread::currentThread() != thread()) {
        bool answer = false;
        QMetaObject::invokeMethod(
            this, [&] { answer = present(text, icon, title, question); },
            Qt::BlockingQueuedConnection);
        return answer;
    }
    QMessageBox box(qtIcon(icon), QString::fromStdString(title), messageText(text),
                    question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, m_parent);
    return box.exec() == QMessageBox::Yes;
}

void QtMessageSink::show(const std::string& text, MessageIcon icon, const std::string& title) {
    present(text, icon, title, false);
}

bool QtMessageSink::ask(const std::string& text, MessageIcon icon, const std::string& title) {
    return present(text, icon, title, true);
}

}  // namespace veldon::ui
