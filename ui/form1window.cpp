#include "ui/form1window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace veldon::ui {

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

QLabel* note(const char* text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    label->setStyleSheet("color: #555;");
    return label;
}

// The local data folder is a caption: framed like a box the user cannot type into.
QLabel* pathCaption() {
    auto* label = new QLabel;
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setMinimumWidth(260);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

}  // namespace

Form1Window::Form1Window(Form1& form, QWidget* parent) : QWidget(parent), m_form(form) {
    setWindowTitle("ZR Torvane ");
    auto* layout = new QVBoxLayout(this);

    // Header.
    auto* header = new QHBoxLayout;
    auto* label13 = new QLabel("ASP 원격 자료 관리 시스템");
    QFont big = label13->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    label13->setFont(big);
    header->addWidget(label13);
    header->addStretch();
    auto* titles = new QVBoxLayout;
    titles->addWidget(new QLabel("ZR TORVANE , MERIDEX"), 0, Qt::AlignRight);
    auto* home = new QLabel(QString("<a href=\"%1\">%1</a>").arg(HomePage));
    home->setObjectName("LabHomePage");
    home->setTextFormat(Qt::RichText);
    home->setOpenExternalLinks(false);
    connect(home, &QLabel::linkActivated, this, [this] { m_form.LabHomePage_Click(); });
    titles->addWidget(home, 0, Qt::AlignRight);
    header->addLayout(titles);
    layout->addLayout(header);

    // Status: the time of the last run, the line-down blink, the progress of a run.
    auto* status = new QHBoxLayout;
    status->addWidget(new QLabel("최종 전송시간"));
    m_label7 = new QLabel;
    m_label7->setObjectName("Label7");
    m_label7->setMinimumWidth(150);
    status->addWidget(m_label7);
    m_lbliMsg = new QLabel;
    m_lbliMsg->setObjectName("lbliMsg");
    // The label has no caption: it blinks as a red mark while the line is down.
    m_lbliMsg->setFixedSize(14, 14);
    m_lbliMsg->setStyleSheet("background: #d33; border-radius: 7px;");
    m_lbliMsg->setToolTip("인터넷 끊김");
    status->addWidget(m_lbliMsg);
    m_progress = new QLabel;
    m_progress->setObjectName("progress");
    status->addWidget(m_progress, 1);
    layout->addLayout(status);

    m_tabs = new QTabWidget;
    m_tabs->setObjectName("SSTab1");

    // Tab 0: business type and servers.
    auto* servers = new QWidget;
    auto* serversLayout = new QVBoxLayout(servers);
    auto* typeBox = new QFormLayout;
    m_combo1 = new QComboBox;
    m_combo1->setObjectName("Combo1");
    typeBox->addRow("서비스형태", m_combo1);
    serversLayout->addLayout(typeBox);
    auto* serverForm = new QFormLayout;
    const char* serverLabels[4] = {"1차   서버", "2차   서버", "사용자구성", "개  체  명"};
    for (std::size_t i = 0; i < 4; ++i) {
        m_text1[i] = new QLineEdit;
        m_text1[i]->setObjectName(QString("Text1_%1").arg(i));
        serverForm->addRow(serverLabels[i], m_text1[i]);
    }
    serversLayout->addLayout(serverForm);
    serversLayout->addWidget(note("1차프로세스서버에 문제발생시 2차프로세스서버가 작동"));
    serversLayout->addWidget(note("사용자구성및 개체명은 개발사에 문의바랍니다."));
    serversLayout->addStretch();
    m_tabs->addTab(servers, "서버설정");

    // Tab 1: the local database.
    auto* local = new QWidget;
    auto* localLayout = new QVBoxLayout(local);
    localLayout->addWidget(new QLabel("로컬데이터베이스 경로설정"));
    auto* pathRow = new QHBoxLayout;
    m_laPath = pathCaption();
    m_laPath->setObjectName("LaPath");
    pathRow->addWidget(m_laPath, 1);
    m_command1 = new QPushButton("...");
    m_command1->setObjectName("Command1");
    pathRow->addWidget(m_command1);
    localLayout->addLayout(pathRow);
    localLayout->addWidget(note("※ POS프로그램의 데이터경로설정에서 지정하십시요."));
    localLayout->addWidget(new QLabel("로컬데이터베이스 이름 (확장자명까지 입력하세요)"));
    m_text2 = new QLineEdit;
    m_text2->setObjectName("Text2");
    localLayout->addWidget(m_text2);
    localLayout->addStretch();
    m_tabs->addTab(local, "로컬DB");

    // Tab 2: the shop's identifiers at the central service.
    auto* shop = new QWidget;
    auto* shopLayout = new QVBoxLayout(shop);
    auto* shopForm = new QGridLayout;
    const char* shopLabels[3] = {"가맹점      번호", "기본하치장번호", "포스카운터(ID#)"};
    QLineEdit** boxes[3] = {&m_text4, &m_text5, &m_text6};
    for (int i = 0; i < 3; ++i) {
        *boxes[i] = new QLineEdit;
        (*boxes[i])->setObjectName(QString("Text%1").arg(4 + i));
        m_laRecv[static_cast<std::size_t>(i)] = pathCaption();
        m_laRecv[static_cast<std::size_t>(i)]->setObjectName(QString("laRecv_%1").arg(i));
        m_laRecv[static_cast<std::size_t>(i)]->setMinimumWidth(160);
        shopForm->addWidget(new QLabel(shopLabels[i]), i, 0);
        shopForm->addWidget(*boxes[i], i, 1);
        shopForm->addWidget(m_laRecv[static_cast<std::size_t>(i)], i, 2);
    }
    shopLayout->addLayout(shopForm);
    shopLayout->addWidget(note("사업자번호는 반드시 입력하세요..."));
    m_command3 = new QPushButton("회사정보 확인");
    m_command3->setObjectName("Command3");
    shopLayout->addWidget(m_command3, 0, Qt::AlignRight);
    shopLayout->addStretch();
    m_tabs->addTab(shop, "가맹점정보");

    // Tab 3: the scan method and the other data to send.
    auto* scan = new QWidget;
    auto* scanLayout = new QVBoxLayout(scan);
    const char* checkCaptions[2] = {"일괄 스캔방법셋팅", "실시간 스캔"};
    for (std::size_t i = 0; i < 2; ++i) {
        m_check1[i] = new QCheckBox(checkCaptions[i]);
        m_check1[i]->setObjectName(QString("Check1_%1").arg(i));
        m_frame2[i] = new QGroupBox;
        m_frame2[i]->setObjectName(QString("Frame2_%1").arg(i));
        auto* frameLayout = new QHBoxLayout(m_frame2[i]);
        for (std::size_t k = 0; k < 2; ++k) {
            QRadioButton*& option = m_option1[i * 2 + k];
            option = new QRadioButton(q(m_form.controls.Option1[i * 2 + k].Caption));
            option->setObjectName(QString("Option1_%1").arg(i * 2 + k));
            frameLayout->addWidget(option);
        }
        if (i == 0) {
            m_text3 = new QLineEdit;
            m_text3->setObjectName("Text3");
            m_text3->setMaximumWidth(60);
            frameLayout->addWidget(new QLabel("스캔시간"));
            frameLayout->addWidget(m_text3);
            frameLayout->addWidget(new QLabel("(분:MM)"));
        }
        frameLayout->addStretch();
        scanLayout->addWidget(m_check1[i]);
        scanLayout->addWidget(m_frame2[i]);
    }
    auto* other = new QGroupBox("기타자료 전송");
    auto* otherLayout = new QVBoxLayout(other);
    m_check2 = new QCheckBox("삭제자료전송 여부");
    m_check2->setObjectName("Check2");
    m_chkDelivery = new QCheckBox("배송정보 전송 여부");
    m_chkDelivery->setObjectName("chkDelivery");
    m_lblMemo = new QLabel("(전문점 타 업체회원 연동시 필요)");
    m_lblMemo->setObjectName("LBL_MEMO");
    otherLayout->addWidget(m_check2);
    otherLayout->addWidget(m_chkDelivery);
    otherLayout->addWidget(m_lblMemo);
    scanLayout->addWidget(other);
    scanLayout->addStretch();
    m_tabs->addTab(scan, "스캔설정");

    // Tab 4: what a shop owner must know, the same facts as `veldonctl status`.
    m_status = new QTextBrowser;
    m_status->setObjectName("status");
    m_status->setOpenLinks(false);
    m_tabs->addTab(m_status, "전송현황");
    layout->addWidget(m_tabs, 1);

    // The scheduler's buttons and "적용".
    auto* commands = new QHBoxLayout;
    commands->addStretch();
    for (std::size_t i = 0; i < 5; ++i) {
        m_command2[i] = new QPushButton(q(m_form.controls.Command2[i].Caption));
        m_command2[i]->setObjectName(QString("Command2_%1").arg(i));
        commands->addWidget(m_command2[i]);
        connect(m_command2[i], &QPushButton::clicked, this, [this, i] {
            takeControls();
            Q_EMIT command2Clicked(static_cast<int>(i));
        });
    }
    layout->addLayout(commands);

    connect(m_command1, &QPushButton::clicked, this,
            [this] { command([this] { m_form.Command1_Click(); }); });
    connect(m_command3, &QPushButton::clicked, this,
            [this] { command([this] { m_form.Command3_Click(); }); });
    for (std::size_t i = 0; i < 2; ++i) {
        connect(m_check1[i], &QCheckBox::clicked, this,
                [this, i] { command([this, i] { m_form.Check1_Click(static_cast<int>(i)); }); });
    }
    m_form.showControls = [this] {
        showControls();
        QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    };
    showControls();
}

template <typename Procedure>
void Form1Window::command(Procedure procedure) {
    takeControls();
    procedure();
    showControls();
}

void Form1Window::showControls() {
    const MainWindowControls& c = m_form.controls;
    std::vector<QSignalBlocker> quiet;
    for (QObject* o : findChildren<QObject*>()) {
        quiet.emplace_back(o);
    }
    m_tabs->setCurrentIndex(c.SSTab1);
    m_label7->setText(q(c.Label7.Caption));
    m_lbliMsg->setVisible(c.lbliMsg.Visible && c.Timer3.Enabled);
    m_combo1->clear();
    for (const std::string& item : c.Combo1.items) {
        m_combo1->addItem(q(item));
    }
    m_combo1->setCurrentIndex(c.Combo1.ListIndex);
    for (std::size_t i = 0; i < 4; ++i) {
        m_text1[i]->setText(q(c.Text1[i].Text));
    }
    m_laPath->setText(q(c.LaPath.Caption));
    m_text2->setText(q(c.Text2.Text));
    m_text4->setText(q(c.Text4.Text));
    m_text5->setText(q(c.Text5.Text));
    m_text6->setText(q(c.Text6.Text));
    for (std::size_t i = 0; i < 3; ++i) {
        m_laRecv[i]->setText(q(c.laRecv[i].Caption));
    }
    for (std::size_t i = 0; i < 2; ++i) {
        m_check1[i]->setChecked(c.Check1[i].Value == 1);
        m_check1[i]->setVisible(c.Check1[i].Visible);
        m_check1[i]->setEnabled(c.Check1[i].Enabled);
        m_frame2[i]->setVisible(c.Frame2[i].Visible);
        m_frame2[i]->setEnabled(c.Frame2[i].Enabled);
    }
    for (std::size_t i = 0; i < 4; ++i) {
        m_option1[i]->setChecked(c.Option1[i].Value);
        m_option1[i]->setEnabled(c.Option1[i].Enabled);
    }
    m_text3->setText(q(c.Text3.Text));
    m_text3->setEnabled(c.Text3.Enabled);
    m_check2->setChecked(c.Check2.Value == 1);
    m_check2->setVisible(c.Check2.Visible);
    m_chkDelivery->setChecked(c.chkDelivery.Value == 1);
    m_chkDelivery->setVisible(c.chkDelivery.Visible);
    m_lblMemo->setVisible(c.LBL_MEMO.Visible);
    for (std::size_t i = 0; i < 5; ++i) {
        // While a run goes on only "종료" (hide the window) stays on.
        m_command2[i]->setEnabled(c.Command2[i].Enabled && (i == 0 || !m_running));
    }
    m_command1->setEnabled(!m_running);
    m_command3->setEnabled(c.Command3.Enabled && !m_running);

    const bool busy = c.MousePointer == PointerShape::Hourglass;
    if (busy != m_pointerSet) {
        if (busy) {
            QApplication::setOverrideCursor(Qt::WaitCursor);
        } else {
            QApplication::restoreOverrideCursor();
        }
        m_pointerSet = busy;
    }
}

void Form1Window::takeControls() {
    MainWindowControls& c = m_form.controls;
    c.SSTab1 = m_tabs->currentIndex();
    c.Combo1.ListIndex = m_combo1->currentIndex();
    for (std::size_t i = 0; i < 4; ++i) {
        c.Text1[i].Text = m_text1[i]->text().toStdString();
    }
    c.Text2.Text = m_text2->text().toStdString();
    c.Text3.Text = m_text3->text().toStdString();
    c.Text4.Text = m_text4->text().toStdString();
    c.Text5.Text = m_text5->text().toStdString();
    c.Text6.Text = m_text6->text().toStdString();
    for (std::size_t i = 0; i < 2; ++i) {
        c.Check1[i].Value = m_check1[i]->isChecked() ? 1 : 0;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        c.Option1[i].Value = m_option1[i]->isChecked();
    }
    c.Check2.Value = m_check2->isChecked() ? 1 : 0;
    c.chkDelivery.Value = m_chkDelivery->isChecked() ? 1 : 0;
}

void Form1Window::setRunning(bool running) {
    m_running = running;
    if (running) {
        QApplication::setOverrideCursor(Qt::BusyCursor);
        m_progress->setText("전송중...");
    } else {
        QApplication::restoreOverrideCursor();
        m_progress->clear();
    }
    // The model is the running transfer's now: only the buttons follow.
    for (std::size_t i = 1; i < 5; ++i) {
        m_command2[i]->setEnabled(!running && m_form.controls.Command2[i].Enabled);
    }
    m_command1->setEnabled(!running);
    m_command3->setEnabled(!running);
}

void Form1Window::showProgress(long done, long total) {
    m_progress->setText(total > 0 ? QString("전송중... %1 / %2").arg(done).arg(total)
                                  : QString("전송중..."));
}

void Form1Window::showStatus(const std::vector<std::pair<std::string, std::string>>& lines) {
    // A table, so that a long value wraps within its column.
    QString html = "<table cellspacing=\"0\" cellpadding=\"2\">";
    for (const auto& [name, value] : lines) {
        html += QString(
                    "<tr><td style=\"white-space: nowrap; padding-right: 12px\"><b>%1</b></td>"
                    "<td>%2</td></tr>")
                    .arg(q(name).toHtmlEscaped(), q(value).toHtmlEscaped());
    }
    m_status->setHtml(html + "</table>");
}

void Form1Window::moveToCorner() {
    const QScreen* s = screen();
    if (!s) {
        return;
    }
    const QRect area = s->geometry();
    // 1000 twips (1/1440 inch each) above the bottom, for the task bar.
    const int taskBar = static_cast<int>(1000.0 * s->logicalDotsPerInchY() / 1440.0);
    move(area.width() - frameGeometry().width(),
         area.height() - frameGeometry().height() - taskBar);
}

void Form1Window::closeEvent(QCloseEvent* event) {
    if (m_form.Form_QueryUnload(!m_ending)) {
        event->ignore();
        if (m_closeHides) {
            hide();
        } else {
            showMinimized();  // no tray to bring a hidden window back from
        }
        return;
    }
    QWidget::closeEvent(event);
}

void Form1Window::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    moveToCorner();
}

}  // namespace veldon::ui
