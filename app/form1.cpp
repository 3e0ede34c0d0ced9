#include "app/form1.h"

#include "app/frm_inipath.h"
#include "app/mdudbcon.h"
#include "engines/queries.h"
#include "platform/error.h"
#include "platform/fileerror.h"
#include "platform/value.h"

namespace veldon {

namespace {

const char* const App = "TORVANE";
const char* const Section = "Settings";

}  // namespace

Form1::Form1(Form1Services services, ProgramVersionNumbers version)
    : m_services(std::move(services)),
      m_version(version),
      m_log(m_services.programFolder, m_services.clock),
      m_journal(m_services.programFolder, m_services.clock) {}

Form1::~Form1() = default;

std::string Form1::setting(const std::string& key) const {
    return m_services.settings.get(App, Section, key);
}

void Form1::storeSetting(const std::string& key, const std::string& value) {
    m_services.settings.set(App, Section, key, value);
}

std::string Form1::ReadIni(const std::string& section, const std::string& key) const {
    return veldon::ReadIni(m_services.programFolder, section, key);
}

StartupOutcome Form1::Form_Load() {
    controls.SSTab1 = 0;
    StartupOutcome outcome = loadConfiguration();
    if (outcome != StartupOutcome::Running) {
        if (removeTrayIcon) {
            removeTrayIcon();
        }
        return outcome;
    }
    controls.Label7.Caption.clear();
    reportVersion();

    if (ServiceType == "0") {
        UpgradeRetailSchema();
    } else if (ServiceType == "1") {
        UpgradeRestaurantSchema();
    }

    CatchUpScan = false;
    if (CountUnsent()) {
        CatchUpScan = true;
        if (forcedScan) {
            forcedScan();
        }
        CatchUpScan = false;
    }

    if (ServiceState == "시작") {
        controls.Timer1.Interval = 60000;
        controls.Command2[2].Enabled = false;
        controls.Command2[3].Enabled = true;
    }
    return StartupOutcome::Running;
}

StartupOutcome Form1::loadConfiguration() {
    DnsAddress = trimBlanks(ReadIni("PING-CHECK", "DNS"));
    LoadSettings();
    ShowSettings();
    OpenConfigDb();
    try {
        CheckOrderTerminal();
    } catch (const Error& e) {
        // An error no procedure of start-up handles ends the program, after the run-time error
        // box that the program has always shown for it.
        m_services.messages.show(
            "Run-time error '" + std::to_string(e.number()) + "':\r\r" + e.description(),
            MessageIcon::Critical, "veldon");
        return StartupOutcome::UnhandledError;
    }
    if (OrderTerminalFlag == "1") {
        m_services.messages.show("주문기에서 veldon실행은 불가능합니다.", MessageIcon::Information,
                                 "POS 확인");
        return StartupOutcome::OrderTerminal;
    }

    LocalConnStr = localConnectionString(numericValue(ServiceType), LocalInfo[0], LocalInfo[1]);
    buildVersionTexts();

    const std::string dbServer = setting("DB서버");
    const std::string dbUser = setting("DBUser");
    const std::string dbName = setting("DBName");
    if (trimBlanks(dbServer).empty() || trimBlanks(dbUser).empty() || trimBlanks(dbName).empty()) {
        m_services.messages.show(std::string("서비스연결정보가 부족합니다.") + "\r" + "\r" +
                                     "POS프로그램에서 회사ID를 입력하면 자동으로 부여받습니다.",
                                 MessageIcon::Critical, "서비스");
        return StartupOutcome::MissingConnectionData;
    }
    CenterConnStr = centerConnectionString(dbServer, dbName, dbUser);
    return StartupOutcome::Running;
}

void Form1::buildVersionTexts() {
    const double type = numericValue(ServiceType);
    const std::string major = std::to_string(m_version.major);
    const std::string minor = std::to_string(m_version.minor);
    const std::string revision = std::to_string(m_version.revision);
    if (type == 0) {
        // Minor and revision run together: 1, 0 and 5 give "1.05".
        ProgramVersion = major + "." + minor + revision;
        ReportedVersion = m_services.settings.get("MERIDEX_II", "DBLOC", "KESTPGVERSION");
    } else if (type == 1) {
        ProgramVersion = trimBlanks(major + "." + minor + "." + revision);
        ReportedVersion = trimBlanks(m_services.settings.get("MERIDEX_II", "DBLOC", "KESTVERSION"));
    } else {
        ProgramVersion.clear();
        ReportedVersion.clear();
    }
}

bool Form1::versionReportDue() const {
    const double type = numericValue(ServiceType);
    // Retail reports only a version that sorts after the one reported (1.10 stays over 1.9).
    return (type == 0 && ReportedVersion < ProgramVersion) ||
           (type == 1 && ProgramVersion != ReportedVersion);
}

void Form1::reportVersion() {
    if (!versionReportDue()) {
        return;
    }
    if (numericValue(ServiceType) == 0) {
        if (ReportVersionRetail()) {
            ReportedVersion = ProgramVersion;
            m_services.settings.set("MERIDEX_II", "DBLOC", "KESTPGVERSION", ProgramVersion);
        }
    } else {
        if (ReportVersionRestaurant(ProgramVersion)) {
            ReportedVersion = ProgramVersion;
            m_services.settings.set("MERIDEX_II", "DBLOC", "KESTVERSION", ProgramVersion);
        }
    }
}

void Form1::OpenConfigDb() {
    try {
        ConfigDb = createConnection();
        ConfigDb->open(configDbConnectionString(pathText(m_services.programFolder)));
    } catch (const Error& e) {
        m_services.messages.show(e.description(), MessageIcon::Information, "Error");
    }
}

void Form1::CheckOrderTerminal() {
    // Without a configuration database the PC is taken for an ordinary counter: the question
    // cannot be answered, and refusing to run would stop the shop's transfers for good. A query
    // that fails on an open database, or a Null CF_CONTENTS, raises: start-up does not handle it.
    if (!ConfigDb || !ConfigDb->isOpen()) {
        return;
    }
    auto rs =
        ConfigDb->openRecordset("SELECT CF_CONTENTS FROM CF WHERE CF_PART = 'POS' AND CF_IDX = 3");
    if (!rs->eof()) {
        OrderTerminalFlag = trimBlanks(rs->field("CF_CONTENTS").toText());
    }
    rs->close();
}

bool Form1::CountUnsent() {
    bool unsent = false;
    try {
        LocalDb = createConnection();
        LocalDb->open(LocalConnStr);
        const std::string sql = numericValue(ServiceType) == 0 ? queries::retailUnsentCount()
                                                               : queries::restaurantUnsentCount();
        auto rs = LocalDb->openRecordset(sql, CursorType::ForwardOnly, LockType::Optimistic);
        unsent = rs->recordCount() > 0;
        rs->close();
        LocalDb->close();
    } catch (const Error& e) {
        m_services.messages.show(e.description(), MessageIcon::Exclamation, "전송에러");
    }
    LocalDb.reset();
    return unsent;
}

}  // namespace veldon
