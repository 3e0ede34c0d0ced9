// The tray program's window during a long catch-up: a restaurant shop with 20,000 unsent sales
// (made by make-shop) starts as `veldon` does, against the reference service on loopback, and a
// 20 ms timer of the window's thread notes how long the thread was ever kept from it while the
// engine sends on its own thread. Offscreen; no display needed.
//
// Usage: bench_window [--sales N] [--work DIR]
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "central/localservice.h"
#include "platform/clock.h"
#include "platform/settingsstore.h"
#include "tools/makeshop.h"
#include "ui/form2.h"

namespace {

using namespace veldon;

// Any message box would wait for a click: the run counts them instead.
class CountingMessages : public MessageSink {
public:
    void show(const std::string& text, MessageIcon, const std::string& title) override {
        std::cerr << "message: " << title << ": " << text << "\n";
        ++shown;
    }
    bool ask(const std::string& text, MessageIcon icon, const std::string& title) override {
        show(text, icon, title);
        return false;
    }
    int shown = 0;
};

}  // namespace

int main(int argc, char** argv) {
    long sales = 20000;
    std::filesystem::path work = std::filesystem::temp_directory_path() / "veldon-bench-window";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--sales") {
            sales = std::atol(argv[i + 1]);
        } else if (option == "--work") {
            work = argv[i + 1];
        } else {
            std::cerr << "usage: bench_window [--sales N] [--work DIR]\n";
            return 2;
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);
    central::LocalService service(
        work, {"veldon", "mv5529", "central"},
        central::Shop{"S0001", "데모 식당", "H01", "본사창고", "01", "카운터1"}, 16);
    const int port = service.port();

    SystemClock clock;
    demodb::ShopOptions o;
    o.sales = sales;
    o.server = "127.0.0.1:" + std::to_string(port);
    o.dbName = "central";
    const demodb::ShopSummary shop = demodb::makeShop(o, work / "shop", clock.now());
    IniSettingsStore settings(shop.settingsFolder);
    CountingMessages messages;
    ui::Form2 form2(Form1Services{settings, messages, clock, shop.programFolder});

    QElapsedTimer since;
    qint64 longestGap = 0;
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout,
                     [&] { longestGap = std::max(longestGap, since.restart()); });
    QElapsedTimer run;
    run.start();
    if (form2.Form_Load() != ui::Form2::Load::Started) {
        std::cerr << "bench_window: the program did not start\n";
        return 1;
    }
    const qint64 loadMs = run.elapsed();
    since.start();
    beat.start(20);
    while (form2.running()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    beat.stop();
    const TransferReport& sent = form2.agent().totals;
    const long held = service.rows("SALE_HDR");

    std::printf(
        "sales made %ld, unsent at start %ld: sent %ld, held by the service %ld, "
        "messages %d\n",
        sales, static_cast<long>(sent.salesTotal), static_cast<long>(sent.salesSent), held,
        messages.shown);
    std::printf("start-up returned to the window's thread after %lld ms\n",
                static_cast<long long>(loadMs));
    std::printf(
        "catch-up took %.1f s; longest the window's thread was kept from its 20 ms timer: "
        "%lld ms\n",
        run.elapsed() / 1000.0, static_cast<long long>(longestGap));
    return sent.salesSent == sent.salesTotal && held == sent.salesSent && messages.shown == 0 ? 0
                                                                                              : 1;
}
