// Telling the central service which program version runs at this counter. Any failure answers
// False and leaves the stored version as it was, so the next start tries again.
#include "app/form1.h"
#include "platform/error.h"
#include "remote/dataspace.h"

namespace veldon {

namespace {

bool putVersion(const std::string& progId, const std::string& server, const std::string& version,
                const std::string& counterId, const std::string& storeCode,
                std::string& centerConnStr, const CallTimeouts& limits) {
    TextArray statements(2);
    statements(1) = " UPDATE POS SET VELDON_VER = '" + version +
                    "' , VELDON_VER_SDATE = Now() WHERE POS_ID = '" + counterId +
                    "' AND  RCT_CODE = '" + storeCode + "'";
    try {
        DataSpace space(limits);
        auto object = space.CreateObject(progId, "http://" + server);
        std::string message;
        return object->PUTSQL(statements, message, centerConnStr);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool Form1::ReportVersionRetail() {
    const auto& store = m_services.settings;
    return putVersion("VARNIK.MEM", store.get("TORVANE", "Settings", "1차서버"), ProgramVersion,
                      store.get("TORVANE", "Settings", "카운터"),
                      store.get("TORVANE", "Settings", "가맹점"), CenterConnStr, CallLimits);
}

bool Form1::ReportVersionRestaurant(const std::string& version) {
    const auto& store = m_services.settings;
    return putVersion("lumora.demon", ServerInfo[0], version,
                      store.get("TORVANE", "Settings", "카운터"),
                      store.get("TORVANE", "Settings", "가맹점"), CenterConnStr, CallLimits);
}

}  // namespace veldon
