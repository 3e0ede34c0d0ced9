// Form1: the main form's state and procedures, without widgets. The window (ui/) binds its
// widgets to `controls`; the operator tool and the tests drive the same object headless.
//
// This holds the start-up sequence, the settings procedures, the local schema upgrades and the
// version report. The forced scan of the catch-up transfer is reached through a hook; left empty
// it does nothing.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/controls.h"
#include "app/transferreport.h"
#include "logs/refusaljournal.h"
#include "logs/transferlog.h"
#include "platform/clock.h"
#include "platform/database.h"
#include "platform/messagebox.h"
#include "platform/settingsstore.h"
#include "remote/dataspace.h"

namespace veldon {

// What the form needs from the platform.
struct Form1Services {
    SettingsStore& settings;
    MessageSink& messages;
    const Clock& clock;
    std::filesystem::path programFolder;
};

// How the start-up sequence ended.
enum class StartupOutcome {
    Running,                // the window stays, the service stopped or resumed
    OrderTerminal,          // ended: this PC is an order terminal
    MissingConnectionData,  // ended: the central connection data are incomplete
    UnhandledError,         // ended: an error start-up does not handle (the order-terminal query)
};

// The maker's home page that LabHomePage opens. A reserved name: no such site answers.
inline constexpr const char* HomePage = "https://www.veldon.example/";

// The program's version numbers (file version 1.00.0019).
struct ProgramVersionNumbers {
    int major = VELDON_VERSION_MAJOR;
    int minor = VELDON_VERSION_MINOR;
    int revision = VELDON_VERSION_REVISION;
};

class Form1 {
public:
    explicit Form1(Form1Services services, ProgramVersionNumbers version = {});
    ~Form1();

    MainWindowControls controls;

    // State fields (see the settings store for where each comes from).
    std::array<std::string, 4>
        ServerInfo;  // primary server, secondary server, user configuration, ProgID
    std::array<std::string, 6>
        LocalInfo;  // data folder, file, scan method, daily scan, interval, registration no.
    std::string LocalConnStr;
    std::string CenterConnStr;
    std::string StoreCode, StoreName, DepotCode, DepotName, PosId, PosName;
    std::string ServiceType;
    std::string ServiceState;
    std::string SendDeleted, SendDelivery;
    std::string RestaurantKind;
    std::string ProgramVersion, ReportedVersion;
    std::string OrderTerminalFlag;
    std::int16_t CfOptionValue = 0;
    bool CatchUpScan = false;
    std::string DnsAddress;  // ping target of the line probe
    // Bounds of every remote call. The deadline of a whole call is the setting 호출제한시간 in
    // seconds (1 to 3600); blank or anything else leaves the default of 60 seconds.
    CallTimeouts CallLimits;
    // The certificate authorities (a PEM file) an https:// server is verified against: the
    // setting CA인증서; blank: the system's trust store.
    std::string CaFile;

    // The configuration database, open for the life of the form; the local database while a
    // procedure uses it.
    std::unique_ptr<Connection> ConfigDb;
    std::unique_ptr<Connection> LocalDb;

    // Hooks filled by the parts of the program that start-up calls into.
    std::function<void()> forcedScan;      // Command2(1)
    std::function<void()> removeTrayIcon;  // before the process ends

    // What the window lends the settings commands; left empty, the password is refused, no
    // folder is picked and no page opens.
    std::function<bool()> askPassword;  // frm_password shown modally: its PasswordOK
    std::function<std::optional<std::string>()> pickFolder;  // the folder picker of Command1
    std::function<void(const std::string& url)> openPage;    // the default browser
    std::function<void()> showControls;  // the window shows `controls` now (the pointer)

    // The daily log and the dump files below the program folder.
    TransferLog& log() { return m_log; }
    // Every refused or failed upload, whole, in the program folder (see RefusalJournal).
    RefusalJournal& journal() { return m_journal; }
    // What the last engine run did; the engines fill it.
    TransferReport lastTransfer;
    // Called by the engines after each sale (done of total), for progress displays.
    std::function<void(long done, long total)> onSaleDone;

    // The load event: the whole start-up sequence.
    StartupOutcome Form_Load();
    // Steps 2 to 10 of start-up: configuration into the state, the configuration database, the
    // order-terminal and connection-data checks (with their messages), the connection strings
    // and version texts. Writes nothing; the operator tool's status runs only this.
    StartupOutcome loadConfiguration();

    // UpdatePath.ini in the program folder.
    std::string ReadIni(const std::string& section, const std::string& key) const;
    void LoadSettings();
    void ShowSettings();
    void SaveSettings();

    // The window's commands (the scheduler's buttons are TransferScheduler::Command2_Click).
    void ApplySettings();   // Command2(4) "적용", behind the password
    void Command3_Click();  // "회사정보 확인": the shop's names from the central service
    void Check1_Click(int index);  // the batch / real-time pair
    void Command1_Click();         // "...": the local data folder
    void LabHomePage_Click();      // the maker's home page
    // The close box hides the window instead (true: cancel the close); other closes go ahead.
    bool Form_QueryUnload(bool byUser) const { return byUser; }

    void OpenConfigDb();
    void CheckOrderTerminal();
    bool CountUnsent();

    void UpgradeRetailSchema();
    void UpgradeRestaurantSchema();
    void UpgradeDeletedLines();

    // The version report to the central service; True only when the service accepted it. Why the
    // last one failed, for the operator tool (the program itself neither shows nor logs it).
    std::string versionReportFailure;
    // Whether start-up reports the running version: it differs from the one reported (retail: it
    // sorts after it).
    bool versionReportDue() const;
    bool ReportVersionRetail();
    bool ReportVersionRestaurant(const std::string& version);

    const Form1Services& services() const { return m_services; }

private:
    std::string setting(const std::string& key) const;
    void storeSetting(const std::string& key, const std::string& value);
    void buildVersionTexts();
    void reportVersion();
    // Opens LocalDb, runs `statements` ignoring every error, closes it.
    void runIgnoringErrors(const std::function<void(Connection&)>& statements);

    Form1Services m_services;
    ProgramVersionNumbers m_version;
    TransferLog m_log;
    RefusalJournal m_journal;
};

}  // namespace veldon
