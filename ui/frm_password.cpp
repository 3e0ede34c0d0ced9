#include "ui/frm_password.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace veldon::ui {

frm_password::frm_password(const Clock& clock, MessageSink& messages, QWidget* parent)
    : QDialog(parent), m_pad(clock, messages) {
    setWindowTitle("비밀번호입력");
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel("비밀번호"));
    m_text = new QLineEdit;
    m_text->setObjectName("TXT_PWD");
    m_text->setEchoMode(QLineEdit::Password);
    m_text->installEventFilter(this);
    top->addWidget(m_text);
    layout->addLayout(top);
    layout->addWidget(new QLabel("비밀번호 8자리 입력 후 "));
    layout->addWidget(new QLabel("확인버튼을 누르십시오"));

    auto* pad = new QGridLayout;
    const char* captions[14] = {"0", "1", "2", "3",   "4",     "5",    "6",
                                "7", "8", "9", "CLS", nullptr, "확인", "닫기"};
    for (int i = 0; i < 14; ++i) {
        if (!captions[i]) {
            continue;
        }
        auto* key = new QPushButton(captions[i]);
        key->setObjectName(QString("cmdNo_%1").arg(i));
        key->setAutoDefault(false);
        connect(key, &QPushButton::clicked, this, [this, i] { press(i); });
        m_keys[static_cast<std::size_t>(i)] = key;
    }
    // 7 8 9 / 4 5 6 / 1 2 3 / CLS 0, then 확인 and 닫기.
    const int order[4][3] = {{7, 8, 9}, {4, 5, 6}, {1, 2, 3}, {10, 0, -1}};
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 3; ++c) {
            if (order[r][c] >= 0) {
                pad->addWidget(m_keys[static_cast<std::size_t>(order[r][c])], r, c);
            }
        }
    }
    pad->addWidget(m_keys[12], 4, 0, 1, 2);
    pad->addWidget(m_keys[13], 4, 2);
    layout->addLayout(pad);
    connect(m_text, &QLineEdit::textEdited, this,
            [this](const QString& text) { m_pad.TXT_PWD = text.toStdString(); });
}

QPushButton* frm_password::cmdNo(int index) const {
    return index >= 0 && index < 14 ? m_keys[static_cast<std::size_t>(index)] : nullptr;
}

void frm_password::press(int index) {
    m_pad.TXT_PWD = m_text->text().toStdString();
    m_pad.cmdNo_Click(index);
    reflect();
}

void frm_password::reflect() {
    m_text->setText(QString::fromStdString(m_pad.TXT_PWD));
    if (m_pad.focusRequested) {
        m_pad.focusRequested = false;
        m_text->setFocus();
    }
    if (m_pad.closed) {
        m_pad.closed = false;
        done(m_pad.PasswordOK ? QDialog::Accepted : QDialog::Rejected);
    }
}

bool frm_password::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_text && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            m_pad.TXT_PWD = m_text->text().toStdString();
            if (m_pad.TXT_PWD_KeyPress(13)) {
                reflect();
            }
            return true;  // otherwise Enter is typed into the box, which ignores it
        }
        if (key->key() == Qt::Key_Escape) {
            return false;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frm_password::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The bottom-right corner of the screen.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        move(area.right() + 1 - frameGeometry().width(),
             area.bottom() + 1 - frameGeometry().height());
    }
    m_text->setFocus();
}

}  // namespace veldon::ui
