#include "tools/status.h"

#include <iomanip>
#include <ostream>

#include "app/form1.h"
#include "app/mdudbcon.h"
#include "app/shopstatus.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/fileerror.h"

namespace veldon {

namespace {

void line(std::ostream& out, const std::string& name, const std::string& value) {
    out << std::left << std::setw(16) << name << " " << value << "\n";
}

}  // namespace

int printStatus(const std::filesystem::path& programFolder, std::ostream& out, std::ostream& err) {
    auto store = openUserSettingsStore();
    StreamMessageSink messages(err);
    SystemClock clock;
    Form1 form(Form1Services{*store, messages, clock, programFolder});

    const StartupOutcome outcome = form.loadConfiguration();
    if (outcome != StartupOutcome::Running) {
        return 2;
    }

    line(out, "program folder", pathText(programFolder));
    static const char* const serverKeys[] = {"1차서버", "2차서버", "사용자구성", "개체명"};
    for (int i = 0; i < 4; ++i) {
        line(out, "ServerInfo(" + std::to_string(i) + ")",
             form.ServerInfo[i] + "  (" + serverKeys[i] + ")");
    }
    static const char* const localKeys[] = {"data folder", "database file", "스캔방법",
                                            "일일스캔",    "스캔시간",      "사업자"};
    for (int i = 0; i < 6; ++i) {
        line(out, "LocalInfo(" + std::to_string(i) + ")",
             form.LocalInfo[i] + "  (" + localKeys[i] + ")");
    }
    line(out, "ServiceType", form.ServiceType);
    line(out, "ServiceState", form.ServiceState);
    line(out, "StoreCode", form.StoreCode + "  " + form.StoreName);
    line(out, "DepotCode", form.DepotCode + "  " + form.DepotName);
    line(out, "PosId", form.PosId + "  " + form.PosName);
    line(out, "SendDeleted", form.SendDeleted);
    line(out, "SendDelivery", form.SendDelivery);
    line(out, "RestaurantKind", form.RestaurantKind);
    line(out, "DnsAddress", form.DnsAddress);
    line(out, "call deadline",
         std::to_string(form.CallLimits.deadline.count() / 1000) + " s  (호출제한시간)");
    line(out, "CA file",
         (form.CaFile.empty() ? std::string("the system's trust store") : form.CaFile) +
             "  (CA인증서)");
    line(out, "ProgramVersion", form.ProgramVersion);
    line(out, "ReportedVersion", form.ReportedVersion);
    if (!form.ProgramVersion.empty() && form.versionReportDue()) {
        line(out, "version report",
             "pending: the service has not accepted " + form.ProgramVersion +
                 " yet; the next start reports it");
    }
    line(out, "LocalConnStr", maskPasswords(form.LocalConnStr));
    line(out, "CenterConnStr", maskPasswords(form.CenterConnStr));

    try {
        for (const auto& [name, value] : statusLines(collectShopStatus(form))) {
            line(out, name, value);
        }
    } catch (const Error& e) {
        err << "전송에러: " << e.description() << "\n";
        return 1;
    }
    return 0;
}

}  // namespace veldon
