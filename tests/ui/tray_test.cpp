// The tray program through its real widgets, offscreen: a make-shop installation, the reference
// service on 127.0.0.1, clicks and key presses; message boxes are recorded, the clock is set.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>

#include "platform/settingsstore.h"
#include "tests/support/central.h"
#include "tests/support/fakes.h"
#include "tests/support/tempdir.h"
#include "tools/makeshop.h"
#include "ui/form1window.h"
#include "ui/form2.h"
#include "ui/frm_password.h"

namespace veldon::ui {
namespace {

using test::FakeClock;
using test::RecordingMessageSink;

// Waits for `done` while the event loop runs; false after `seconds`.
bool waitFor(const std::function<bool()>& done, int seconds = 120) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > seconds * 1000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Types on the keypad of the password dialog that the next modal loop shows, then `finish`es it.
void answerPassword(const std::string& digits, int finish) {
    QTimer::singleShot(0, [digits, finish] {
        auto* dialog = qobject_cast<frm_password*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        for (const char d : digits) {
            QTest::mouseClick(dialog->cmdNo(d - '0'), Qt::LeftButton);
        }
        QTest::mouseClick(dialog->cmdNo(finish), Qt::LeftButton);
    });
}

class TrayTest : public ::testing::Test {
protected:
    // An installation of `sales` restaurant sales, started as the tray program starts.
    void start(long sales = 20) {
        demodb::ShopOptions o;
        o.sales = sales;
        o.server = central.server();
        o.dbName = test::RunningCentral::Database;
        shop = demodb::makeShop(o, dir / "shop", clock.now());
        settings = std::make_unique<IniSettingsStore>(shop.settingsFolder);
        form2 =
            std::make_unique<Form2>(Form1Services{*settings, messages, clock, shop.programFolder});
        QObject::connect(form2.get(), &Form2::ended, [this](int status) { ended = status; });
        ASSERT_EQ(form2->Form_Load(), Form2::Load::Started);
        // The catch-up runs on a thread of its own: the window's thread is back at once and
        // keeps answering while the engine sends.
        ASSERT_TRUE(form2->running());
        ASSERT_TRUE(waitFor([this] { return !form2->running(); }));
    }
    std::string setting(const std::string& key) {
        return settings->get("TORVANE", "Settings", key);
    }
    Form1Window& window() { return *form2->window(); }
    // Start-up's catch-up sent every sale, and the service holds each once.
    void expectAllSent() {
        const TransferReport& sent = form2->agent().totals;
        EXPECT_FALSE(sent.errorNumber) << sent.errorDescription;
        EXPECT_GT(sent.salesSent, 0);
        EXPECT_EQ(sent.salesSent, sent.salesTotal);
        EXPECT_EQ(central.rows("SALE_HDR"), sent.salesSent);
        EXPECT_TRUE(window().Command2(1)->isEnabled());  // the commands are back after the run
    }

    static std::filesystem::path folder(const std::filesystem::path& path) {
        std::filesystem::create_directories(path);
        return path;
    }

    test::TempDir dir;
    test::RunningCentral central{folder(dir / "central")};
    FakeClock clock{{2026, 12, 6, 9, 30, 0}};
    RecordingMessageSink messages;
    demodb::ShopSummary shop;
    std::unique_ptr<IniSettingsStore> settings;
    std::unique_ptr<Form2> form2;
    int ended = -1;
};

TEST_F(TrayTest, StartsTransfersAndTheCloseBoxKeepsItRunning) {
    start();
    expectAllSent();
    EXPECT_TRUE(messages.messages.empty());
    // The close box keeps the program: the window only goes out of sight.
    window().show();
    EXPECT_FALSE(window().close());
    EXPECT_EQ(ended, -1);
    EXPECT_NE(form2->trayIcon(), nullptr);
}

TEST_F(TrayTest, CompanyLookupSavesOnlyWhatTheServiceKnows) {
    start();
    const struct {
        const char* store;
        const char* message;
        const char* saved;
    } cases[] = {
        {"S9999", "시스템 구성정보가 올바르지 않습니다. \r\r시스템관리자에게 문의바랍니다. ",
         "S0001"},
        {"S0001", "현재정보를 저장하시겠습니까?          ", "S0001"},
    };
    for (const auto& c : cases) {
        settings->set("TORVANE", "Settings", "가맹점", "-");
        messages.messages.clear();
        window().Text4()->setText(c.store);
        answerPassword(hourlyPassword(clock.now()), 12);
        QTest::mouseClick(window().Command3(), Qt::LeftButton);
        ASSERT_EQ(messages.messages.size(), 1u) << c.store;
        EXPECT_EQ(messages.messages[0].text, c.message);
        EXPECT_EQ(setting("가맹점"), std::string(c.store) == "S0001" ? c.saved : "-");
    }
    EXPECT_EQ(setting("가맹점명"), "데모 식당");
}

TEST_F(TrayTest, ApplyIsGuardedByTheHourlyPassword) {
    start();
    const std::string before = setting("1차서버");
    auto* server = window().findChild<QLineEdit*>("Text1_0");
    server->setText("127.0.0.1:1");
    // Cancelled: nothing saved, nothing shown.
    answerPassword("", 13);
    QTest::mouseClick(window().Command2(4), Qt::LeftButton);
    EXPECT_EQ(setting("1차서버"), before);
    EXPECT_TRUE(messages.messages.empty());
    // Right: saved and confirmed.
    answerPassword(hourlyPassword(clock.now()), 12);
    QTest::mouseClick(window().Command2(4), Qt::LeftButton);
    EXPECT_EQ(setting("1차서버"), "127.0.0.1:1");
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0].title, "설정저장완료");
}

TEST(PasswordDialog, RefusesLastHoursPasswordAndEnterWaitsForEightDigits) {
    FakeClock clock{{2026, 12, 6, 9, 59, 0}};
    RecordingMessageSink messages;
    frm_password dialog(clock, messages);
    dialog.show();
    const std::string password = hourlyPassword(clock.now());
    QTest::keyClicks(dialog.TXT_PWD(), QString::fromStdString(password.substr(0, 7)));
    QTest::keyClick(dialog.TXT_PWD(), Qt::Key_Return);
    EXPECT_TRUE(messages.messages.empty());  // seven digits: Enter does nothing
    EXPECT_TRUE(dialog.isVisible());
    QTest::keyClicks(dialog.TXT_PWD(), QString::fromStdString(password.substr(7)));
    clock.set({2026, 12, 6, 10, 0, 0});  // typed at 9:59, checked at 10:00
    QTest::keyClick(dialog.TXT_PWD(), Qt::Key_Return);
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0].text, "비밀번호가 일치하지 않습니다.    ");
    EXPECT_EQ(messages.messages[0].title, "비밀번호오류");
    EXPECT_TRUE(dialog.TXT_PWD()->text().isEmpty());
    QTest::mouseClick(dialog.cmdNo(13), Qt::LeftButton);
    EXPECT_FALSE(dialog.PasswordOK());
    EXPECT_FALSE(dialog.isVisible());
}

TEST_F(TrayTest, SecondInstanceEndsAtOnceAndQuitEndsEvenWhileTheServiceRuns) {
    start();
    Form2 second({*settings, messages, clock, shop.programFolder});
    EXPECT_EQ(second.Form_Load(), Form2::Load::AlreadyRunning);
    EXPECT_EQ(second.trayIcon(), nullptr);
    EXPECT_EQ(second.window(), nullptr);

    QTest::mouseClick(window().Command2(2), Qt::LeftButton);  // 서비스 시작
    EXPECT_TRUE(form2->timer1().isActive());
    EXPECT_EQ(setting("서비스상태"), "시작");
    form2->mnu_main()->actions().back()->trigger();  // 종료
    EXPECT_EQ(ended, 0);
    EXPECT_EQ(form2->trayIcon(), nullptr);
    EXPECT_FALSE(form2->timer1().isActive());
}

}  // namespace
}  // namespace veldon::ui

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");  // no display needed
    }
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
