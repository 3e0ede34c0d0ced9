// veldon: the tray program a shop's back-office PC runs beside its POS program. Its configuration
// is the settings store and UpdatePath.ini of its own folder; it takes no command line.
#include <QApplication>
#include <QSocketNotifier>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/programfolder.h"
#include "platform/settingsstore.h"
#include "platform/stopsignal.h"
#include "ui/form2.h"
#include "ui/qtmessages.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName("veldon");

    auto settings = veldon::openUserSettingsStore();
    veldon::SystemClock clock;
    veldon::ui::QtMessageSink messages;
    veldon::ui::Form2 form2({*settings, messages, clock, veldon::executableFolder()});
    QObject::connect(&form2, &veldon::ui::Form2::ended, &app, [&](int status) {
        if (form2.running()) {
            // A transfer is between two sales: every mark it made is committed, and a sale sent
            // but not yet marked is answered as a duplicate next time. Nothing waits for it.
            std::_Exit(status);
        }
        QApplication::exit(status);
    });
    if (form2.Form_Load() == veldon::ui::Form2::Load::AlreadyRunning) {
        return 0;
    }
    // A shutdown ends the program as "종료" does: the icon goes, the lock is given back.
    if (const int stop = veldon::stopSignalDescriptor(); stop >= 0) {
        auto* notifier = new QSocketNotifier(stop, QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &form2,
                         [&form2] { form2.mnutry_Click(2); });
    }
    return QApplication::exec();
}
