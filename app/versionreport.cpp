// Telling the central service which program version runs at this counter. Any failure answers
// False and leaves the stored version as it was, so the next start tries again. The program shows
// and logs nothing of it; the reason is kept in Form1::versionReportFailure for the operator tool.
#include "app/form1.h"
#include "platform/error.h"
#include "remote/dataspace.h"

namespace veldon {

namespace {

bool putVersion(const std::string& progId, const std::string& server, const std::string& version,
                const std::string& counterId, const std::string& storeCode,
                std::string& centerConnStr, const CallTimeouts& limits, const std::string& caFile,
                std::string& failure) {
    TextArray statements(2);
    statements(1) = " UPDATE POS SET VELDON_VER = '" + version +
                    "' , VELDON_VER_SDATE = Now() WHERE POS_ID = '" + counterId +
                    "' AND  RCT_CODE = '" + storeCode + "'";
    try {
        DataSpace space(limits, caFile);
        auto object = space.CreateObject(progId, serverUrl(server));
        std::string message;
        if (object->PUTSQL(statements, message, centerConnStr)) {
            failure.clear();
            return true;
        }
        failure = "refused: " + message;
    } catch (const Error& e) {
        failure = std::to_string(e.number()) + ": " + e.description();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    return false;
}

}  // namespace

bool Form1::ReportVersionRetail() {
    const auto& store = m_services.settings;
    return putVersion("VARNIK.MEM", store.get("TORVANE", "Settings", "1차서버"), ProgramVersion,
                      store.get("TORVANE", "Settings", "카운터"),
                      store.get("TORVANE", "Settings", "가맹점"), CenterConnStr, CallLimits, CaFile,
                      versionReportFailure);
}

bool Form1::ReportVersionRestaurant(const std::string& version) {
    const auto& store = m_services.settings;
    return putVersion("lumora.demon", ServerInfo[0], version,
                      store.get("TORVANE", "Settings", "카운터"),
                      store.get("TORVANE", "Settings", "가맹점"), CenterConnStr, CallLimits, CaFile,
                      versionReportFailure);
}

}  // namespace veldon
