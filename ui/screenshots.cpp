// veldon-screenshots: the pictures of the README, rendered from the real widgets. A scratch shop
// of 200 restaurant sales and the reference service on 127.0.0.1 give the window real content;
// start-up transfers the sales, then every tab, the password dialog, a message box and the tray
// icon's states are saved as PNG files into the folder given.
//
// Usage: veldon-screenshots OUT_DIR   (scripts/screenshots.sh runs it under Xvfb)
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QTabWidget>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "central/localservice.h"
#include "platform/clock.h"
#include "platform/settingsstore.h"
#include "tools/makeshop.h"
#include "ui/form1window.h"
#include "ui/form2.h"
#include "ui/frm_password.h"
#include "ui/qtmessages.h"
#include "ui/trayicon.h"

namespace {

using namespace veldon;

bool save(QWidget& widget, const QString& file) {
    widget.show();
    widget.raise();
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    const bool saved = widget.grab().save(file);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", file.toUtf8().constData());
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: veldon-screenshots OUT_DIR\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    const std::filesystem::path work =
        std::filesystem::temp_directory_path() / "veldon-screenshots";
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);

    auto service = std::make_unique<central::LocalService>(
        work, central::Account{"veldon", "mv5529", "veldon_demo"},
        central::Shop{"S0001", "데모 식당", "H01", "본사창고", "01", "카운터1"});
    const int port = service->port();

    SystemClock clock;
    demodb::ShopOptions o;
    o.sales = 200;
    o.server = "127.0.0.1:" + std::to_string(port);
    const demodb::ShopSummary shop = demodb::makeShop(o, work / "shop", clock.now());
    IniSettingsStore settings(shop.settingsFolder);
    ui::QtMessageSink messages;
    ui::Form2 form2({settings, messages, clock, shop.programFolder});
    if (form2.Form_Load() != ui::Form2::Load::Started) {
        return 1;
    }
    QElapsedTimer waited;
    waited.start();
    while (form2.running() && waited.elapsed() < 120000) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }

    bool ok = true;
    ui::Form1Window& window = *form2.window();
    window.resize(640, 440);
    const char* tabs[] = {"servers", "local-database", "shop", "scan", "status"};
    for (int i = 0; i < window.SSTab1()->count(); ++i) {
        window.SSTab1()->setCurrentIndex(i);
        ok &= save(window, out + QString("/window-%1.png").arg(tabs[i]));
    }

    ui::frm_password password(clock, messages);
    password.TXT_PWD()->setText("5224");
    ok &= save(password, out + "/password.png");

    QMessageBox box(QMessageBox::Information, "설정저장완료",
                    ui::messageText("정상적으로 설정정보가 저장이 되었습니다."), QMessageBox::Ok);
    ok &= save(box, out + "/message.png");

    // The tray icon in its four states, side by side.
    QPixmap strip(4 * 72, 72);
    strip.fill(Qt::white);
    {
        QPainter painter(&strip);
        int x = 4;
        for (TrayState s :
             {TrayState::UpToDate, TrayState::Sending, TrayState::LineDown, TrayState::Stuck}) {
            painter.drawPixmap(x, 4, ui::stateIcon(s).pixmap(64, 64));
            x += 72;
        }
    }
    const bool stripSaved = strip.save(out + "/tray-states.png");
    std::printf("%s %s/tray-states.png\n", stripSaved ? "wrote" : "could not write",
                out.toUtf8().constData());
    ok &= stripSaved;

    form2.mnutry_Click(2);
    service.reset();
    std::filesystem::remove_all(work);
    return ok ? 0 : 1;
}
