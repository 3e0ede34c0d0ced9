// The commands of the main window: applying the settings, looking the shop's names up at the
// central service, the scan-method pair, the folder picker and the home page.
#include "app/form1.h"
#include "platform/error.h"
#include "platform/value.h"
#include "remote/dataspace.h"

namespace veldon {

void Form1::ApplySettings() {
    if (!askPassword || !askPassword()) {
        return;
    }
    SaveSettings();
    LoadSettings();
    ShowSettings();
    if (ServiceType == "0" && numericValue(SendDeleted) == 1) {
        UpgradeDeletedLines();
    }
    m_services.messages.show("정상적으로 설정정보가 저장이 되었습니다.", MessageIcon::Information,
                             "설정저장완료");
}

void Form1::Command3_Click() {
    MainWindowControls& c = controls;
    auto setPointer = [&](PointerShape shape) {
        c.MousePointer = shape;
        if (showControls) {
            showControls();
        }
    };
    auto failed = [&](const std::string& description) {
        setPointer(PointerShape::Default);
        m_services.messages.show(
            "서비스중 문제발생했습니다." + std::string(11, ' ') + "\r\r" + description,
            MessageIcon::Critical, "포스시스템");
    };
    if (!askPassword || !askPassword()) {
        failed("");
        return;
    }
    try {
        setPointer(PointerShape::Hourglass);
        for (Label& name : c.laRecv) {
            name.Caption.clear();
        }
        DataSpace space(CallLimits, CaFile);
        auto object = space.CreateObject(ServerInfo[3], serverUrl(ServerInfo[0]));
        const std::string store = c.Text4.Text;
        const std::pair<std::string, const char*> lookups[] = {
            {" SELECT RCT_NAME FROM RCT WHERE RCT_CODE = '" + store + "' ", "RCT_NAME"},
            {" SELECT HCT_NAME FROM HCT WHERE HCT_CODE = '" + c.Text5.Text + "' AND RCT_CODE = '" +
                 store + "' ",
             "HCT_NAME"},
            {" SELECT POS_NAME FROM POS WHERE POS_ID = '" + c.Text6.Text + "' AND RCT_CODE = '" +
                 store + "' ",
             "POS_NAME"},
        };
        for (std::size_t i = 0; i < 3; ++i) {
            std::string sql = lookups[i].first;
            std::string message;
            auto rows = object->GETSQL(sql, 0, 1, message, CenterConnStr);
            if (rows->recordCount() != 0) {
                rows->moveFirst();
                c.laRecv[i].Caption = rows->field(lookups[i].second).toText();
            }
            object = space.CreateObject(ServerInfo[3], serverUrl(ServerInfo[0]));
        }
        if (!c.laRecv[0].Caption.empty() && !c.laRecv[1].Caption.empty() &&
            !c.laRecv[2].Caption.empty()) {
            if (m_services.messages.ask("현재정보를 저장하시겠습니까?" + std::string(10, ' '),
                                        MessageIcon::Question, "정보저장")) {
                storeSetting("가맹점", c.Text4.Text);
                storeSetting("가맹점명", c.laRecv[0].Caption);
                storeSetting("하치장", c.Text5.Text);
                storeSetting("하치장명", c.laRecv[1].Caption);
                storeSetting("카운터", c.Text6.Text);
                storeSetting("카운터명", c.laRecv[2].Caption);
            }
        } else {
            m_services.messages.show(
                "시스템 구성정보가 올바르지 않습니다. \r\r시스템관리자에게 문의바랍니다. ",
                MessageIcon::Critical, "확인");
        }
        setPointer(PointerShape::Default);
    } catch (const Error& e) {
        failed(e.description());
    } catch (const std::exception& e) {
        failed(e.what());
    }
}

void Form1::Check1_Click(int index) {
    if (index != 0 && index != 1) {
        return;
    }
    MainWindowControls& c = controls;
    // Whichever box was clicked, the pair ends with exactly one checked.
    const int other = 1 - index;
    c.Check1[other].Value = c.Check1[index].Value == 1 ? 0 : 1;
    const bool batch = c.Check1[0].Value == 1;
    c.Frame2[0].Enabled = c.Option1[0].Enabled = c.Option1[1].Enabled = c.Text3.Enabled = batch;
    c.Frame2[1].Enabled = c.Option1[2].Enabled = c.Option1[3].Enabled = !batch;
}

void Form1::Command1_Click() {
    if (!pickFolder) {
        return;
    }
    if (auto folder = pickFolder()) {
        std::string path = folder->substr(0, folder->find('\0'));
        // As many characters as the platform's path buffer holds.
        controls.LaPath.Caption = leftChars(path, 260);
    }
}

void Form1::LabHomePage_Click() {
    if (!openPage) {
        return;
    }
    try {
        openPage(HomePage);
    } catch (...) {
        // The page is a courtesy; failing to open it changes nothing.
    }
}

}  // namespace veldon
