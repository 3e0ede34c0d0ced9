// The tray form: the first object of the tray program. It keeps a second instance from starting,
// owns the tray icon and its menu, creates the main window and runs the agent: start-up, the
// one-minute timer and forced scans run on a thread of their own, one at a time, so the window
// stays responsive during a long catch-up while the engines work as they do headless.
//
// The icon's picture tells the shop owner the state: up to date, sending, line down, or stuck
// (the same sale stopped consecutive runs, or refusals wait for the oldest unsent sale). Where the
// desktop has no system tray the window is shown instead and its close box minimises it.
#pragma once

#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "app/shopstatus.h"
#include "sched/agent.h"

class QLockFile;
class QMenu;
class QAction;

namespace veldon::ui {

class Form1Window;

class Form2 : public QObject {
    Q_OBJECT
public:
    explicit Form2(Form1Services services, TransferEngines engines = builtInEngines());
    ~Form2() override;

    enum class Load { Started, AlreadyRunning };
    // Form2's load: ends at once when another instance runs (no icon, no window); else adds the
    // icon, shows the main window and runs start-up on the worker, hiding the window after it.
    Load Form_Load();

    // The tray menu: 0 "정보" shows the main window, 2 "종료" ends the program.
    void mnutry_Click(int index);
    void trayActivated(QSystemTrayIcon::ActivationReason reason);

    // A transfer (or start-up) is running on the worker.
    bool running() const { return m_running; }
    TrayState state() const { return m_state; }

    TransferAgent& agent() { return *m_agent; }
    Form1Window* window() const { return m_window.get(); }
    QSystemTrayIcon* trayIcon() const { return m_tray.get(); }
    QMenu* mnu_main() const { return m_menu.get(); }
    QTimer& timer1() { return m_timer1; }

Q_SIGNALS:
    // The program is to end with this exit status (start-up's early exits and "종료").
    void ended(int status);
    // A run on the worker finished (start-up included).
    void runFinished();

private:
    void startupFinished(StartupOutcome outcome);
    void command2(int index);
    // Runs `job` on the worker, then `then` on this thread; false while a run is going on.
    bool runOnWorker(std::function<void()> job, std::function<void()> then);
    void workerDone();
    void syncTimers();
    void showState();
    void end(int status);

    Form1Services m_services;
    std::unique_ptr<TransferAgent> m_agent;
    std::unique_ptr<QLockFile> m_lock;
    std::unique_ptr<Form1Window> m_window;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    QTimer m_timer1;
    QTimer m_timer3;
    QTimer m_progressTimer;
    bool m_inCallback = false;  // the tray callback's re-entrancy flag

    std::thread m_worker;
    bool m_running = false;
    std::function<void()> m_then;
    std::atomic<long> m_done{0};
    std::atomic<long> m_total{0};
    // Gathered by the worker at the end of each run, read here once it is done.
    std::optional<ShopStatus> m_status;
    std::string m_statusError;
    TrayState m_state = TrayState::UpToDate;
};

}  // namespace veldon::ui
