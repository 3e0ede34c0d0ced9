#include "ui/form2.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLockFile>
#include <QMenu>
#include <QPainter>
#include <QSvgRenderer>
#include <QUrl>

#include "platform/error.h"
#include "ui/form1window.h"
#include "ui/frm_password.h"
#include "ui/trayicon.h"

namespace veldon::ui {

Form2::Form2(Form1Services services, TransferEngines engines)
    : m_services(services), m_agent(std::make_unique<TransferAgent>(services, std::move(engines))) {
    m_timer1.setObjectName("Timer1");
    m_timer3.setObjectName("Timer3");
    connect(&m_timer1, &QTimer::timeout, this,
            [this] { runOnWorker([this] { m_agent->scheduler.Timer1_Timer(); }, [] {}); });
    connect(&m_timer3, &QTimer::timeout, this, [this] {
        if (!m_running) {
            m_agent->scheduler.Timer3_Timer();
            m_window->showControls();
        }
    });
    m_progressTimer.setInterval(200);
    connect(&m_progressTimer, &QTimer::timeout, this,
            [this] { m_window->showProgress(m_done, m_total); });

    Form1& form = m_agent->form;
    form.onSaleDone = [this](long done, long total) {
        m_done = done;
        m_total = total;
    };
    form.askPassword = [this] {
        frm_password dialog(m_services.clock, m_services.messages, m_window.get());
        dialog.exec();
        return dialog.PasswordOK();
    };
    form.pickFolder = [this]() -> std::optional<std::string> {
        const QString folder = QFileDialog::getExistingDirectory(
            m_window.get(), "연결할 로컬데이터베이스 정보 찾기(~ ~)", QString(),
            QFileDialog::ShowDirsOnly);
        if (folder.isEmpty()) {
            return std::nullopt;
        }
        return folder.toStdString();
    };
    form.openPage = [](const std::string& url) {
        QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
    };
    form.removeTrayIcon = [this] {
        QMetaObject::invokeMethod(
            this, [this] { m_tray.reset(); }, Qt::BlockingQueuedConnection);
    };
    m_agent->scheduler.hideWindow = [this] { m_window->hide(); };
}

Form2::~Form2() {
    if (m_worker.joinable()) {
        m_worker.join();
    }
    // The window's hooks point at it: the form outlives it.
    m_agent->form.showControls = nullptr;
}

Form2::Load Form2::Form_Load() {
    // One instance a program folder. A lock left by a process that died is taken over.
    m_lock = std::make_unique<QLockFile>(
        QString::fromStdString((m_services.programFolder / "veldon.lock").string()));
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        m_lock.reset();
        return Load::AlreadyRunning;
    }

    m_menu = std::make_unique<QMenu>("원격자료전송메뉴");
    m_menu->setObjectName("mnu_main");
    QAction* info = m_menu->addAction("정보");
    m_menu->addSeparator();
    QAction* quit = m_menu->addAction("종료");
    connect(info, &QAction::triggered, this, [this] { mnutry_Click(0); });
    connect(quit, &QAction::triggered, this, [this] { mnutry_Click(2); });

    m_tray = std::make_unique<QSystemTrayIcon>(stateIcon(TrayState::UpToDate));
    m_tray->setToolTip("ZR TORVANE ASP ...");
    connect(m_tray.get(), &QSystemTrayIcon::activated, this, &Form2::trayActivated);
    m_tray->show();

    m_window = std::make_unique<Form1Window>(m_agent->form);
    m_window->setWindowIcon(stateIcon(TrayState::UpToDate));
    m_window->setCloseHides(QSystemTrayIcon::isSystemTrayAvailable());
    connect(m_window.get(), &Form1Window::command2Clicked, this, &Form2::command2);
    m_window->show();

    // Start-up, with its version report and catch-up transfer, on the worker.
    auto outcome = std::make_shared<StartupOutcome>(StartupOutcome::Running);
    runOnWorker([this, outcome] { *outcome = m_agent->start(); },
                [this, outcome] { startupFinished(*outcome); });
    return Load::Started;
}

void Form2::startupFinished(StartupOutcome outcome) {
    if (outcome != StartupOutcome::Running) {
        m_tray.reset();
        end(1);
        return;
    }
    m_window->showControls();
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_window->hide();
    }
}

void Form2::command2(int index) {
    if (index == 1) {
        runOnWorker([this] { m_agent->scheduler.Command2_Click(1); }, [] {});
        return;
    }
    if (m_running && index != 0) {
        return;  // the window keeps these off while a run goes on
    }
    m_agent->scheduler.Command2_Click(index);
    m_window->showControls();
    syncTimers();
}

bool Form2::runOnWorker(std::function<void()> job, std::function<void()> then) {
    if (m_running) {
        return false;
    }
    m_running = true;
    m_then = std::move(then);
    m_done = 0;
    m_total = 0;
    m_timer1.stop();
    m_window->setRunning(true);
    showState();
    m_progressTimer.start();
    m_worker = std::thread([this, job = std::move(job), runsBefore = m_agent->runs] {
        try {
            job();
        } catch (...) {
            // The scheduler and start-up handle their own errors; nothing more to do here.
        }
        // The status reads the shop's database and the refusal journal: only when an engine ran
        // (or nothing was read yet), not on every tick of the timer, so the till's database is
        // not scanned once a minute for nothing.
        if (m_agent->runs != runsBefore || !m_status) {
            try {
                if (m_agent->form.ConfigDb) {
                    m_status = collectShopStatus(m_agent->form);
                }
            } catch (const Error& e) {
                m_status.reset();
                m_statusError = e.description();
            }
        }
        QMetaObject::invokeMethod(
            this, [this] { workerDone(); }, Qt::QueuedConnection);
    });
    return true;
}

void Form2::workerDone() {
    m_worker.join();
    m_running = false;
    m_progressTimer.stop();
    if (m_window) {
        m_window->setRunning(false);
        m_window->showControls();
        if (m_status) {
            m_window->showStatus(statusLines(*m_status));
        }
    }
    auto then = std::move(m_then);
    then();
    syncTimers();
    showState();
    Q_EMIT runFinished();
}

void Form2::syncTimers() {
    const MainWindowControls& c = m_agent->form.controls;
    const bool tick = c.Timer1.Interval > 0 && c.Timer1.Enabled && !m_running;
    if (!tick) {
        m_timer1.stop();
    } else if (!m_timer1.isActive() || m_timer1.interval() != c.Timer1.Interval) {
        m_timer1.start(c.Timer1.Interval);
    }
    if (c.Timer3.Enabled && c.Timer3.Interval > 0) {
        if (!m_timer3.isActive()) {
            m_timer3.start(c.Timer3.Interval);
        }
    } else {
        m_timer3.stop();
    }
}

void Form2::showState() {
    const bool lineDown = m_agent->scheduler.lastProbeDown;
    if (m_running) {
        m_state = TrayState::Sending;
    } else if (m_status) {
        m_state = trayState(*m_status, false, lineDown);
    } else {
        m_state = lineDown ? TrayState::LineDown : TrayState::UpToDate;
    }
    if (m_tray) {
        m_tray->setIcon(stateIcon(m_state));
    }
}

void Form2::trayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (m_inCallback) {
        return;
    }
    m_inCallback = true;
    if (reason == QSystemTrayIcon::DoubleClick) {
        mnutry_Click(0);
    } else if (reason == QSystemTrayIcon::Context && m_menu) {
        m_menu->popup(QCursor::pos());
    }
    m_inCallback = false;
}

void Form2::mnutry_Click(int index) {
    if (index == 0) {
        if (!m_running) {
            m_window->showControls();
        }
        m_window->show();
        m_window->raise();
        m_window->activateWindow();
    } else if (index == 2) {
        m_tray.reset();
        end(0);
    }
}

void Form2::end(int status) {
    m_timer1.stop();
    m_timer3.stop();
    if (m_window) {
        m_window->setEnding();
        m_window->close();
    }
    if (m_lock) {
        m_lock->unlock();
    }
    Q_EMIT ended(status);
}

}  // namespace veldon::ui
