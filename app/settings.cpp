// Moving values between the settings store, the form's state and its controls.
#include <cmath>

#include "app/form1.h"
#include "platform/value.h"

namespace veldon {

namespace {

// A number shown in a control that takes whole numbers.
int wholeNumber(double value) {
    return std::isfinite(value) && std::fabs(value) < 1e9 ? static_cast<int>(roundHalfEven(value))
                                                          : 0;
}

std::string checkValueText(const CheckBox& box) {
    return std::to_string(box.Value);
}

}  // namespace

void Form1::LoadSettings() {
    ServerInfo[0] = setting("1차서버");
    ServerInfo[1] = setting("2차서버");
    ServerInfo[2] = setting("사용자구성");
    ServerInfo[3] = setting("개체명");

    LocalInfo[0] = setting("경로");
    LocalInfo[1] = setting("로컬DB");
    LocalInfo[2] = setting("스캔방법");
    LocalInfo[3] = setting("일일스캔");
    LocalInfo[4] = setting("스캔시간");
    LocalInfo[5] = setting("사업자");
    for (int i : {2, 3, 4}) {
        if (trimBlanks(LocalInfo[i]).empty()) {
            LocalInfo[i] = "1";
        }
    }

    CallLimits = {};
    const std::string deadline = trimBlanks(setting("호출제한시간"));
    if (!deadline.empty() && deadline.find_first_not_of("0123456789") == std::string::npos &&
        deadline.size() <= 4 && std::stoi(deadline) >= 1 && std::stoi(deadline) <= 3600) {
        CallLimits.deadline = std::chrono::seconds(std::stoi(deadline));
    }

    CaFile = trimBlanks(setting("CA인증서"));

    StoreCode = setting("가맹점");
    StoreName = setting("가맹점명");
    DepotCode = setting("하치장");
    DepotName = setting("하치장명");
    PosId = setting("카운터");
    PosName = setting("카운터명");
    ServiceType = setting("서비스형태");
    ServiceState = setting("서비스상태");

    // For both real business types the data folder and file come from the POS program.
    if (ServiceType == "0") {
        LocalInfo[0] = m_services.settings.get("MERIDEX_II", "DBLOC", "ID");
        LocalInfo[1] = "POS.MDB";
    } else if (ServiceType == "1") {
        LocalInfo[0] = m_services.settings.get("외식업", "LOCATION", "ID");
        LocalInfo[1] = "FOOD.MDB";
        DnsAddress = trimBlanks(ReadIni("PING-CHECK", "DNS"));
        // Five characters are compared, so "전문점" matches only the word alone.
        const std::string kind = leftChars(trimBlanks(ReadIni("업데이트정보", "업데이트경로")), 5);
        if (kind == "외식업후불") {
            RestaurantKind = "1";
        } else if (kind == "외식업선불") {
            RestaurantKind = "2";
        } else if (kind == "전문점") {
            RestaurantKind = "3";
        }
    }
}

void Form1::ShowSettings() {
    MainWindowControls& c = controls;
    for (std::size_t i = 0; i < 4; ++i) {
        c.Text1[i].Text = ServerInfo[i];
    }
    c.LaPath.Caption = LocalInfo[0];
    c.Text2.Text = LocalInfo[1];

    // The registration number is shown and at once replaced: the box ends up with the store code.
    c.Text4.Text = LocalInfo[5];
    c.Text4.Text = StoreCode;
    c.Text5.Text = DepotCode;
    c.Text6.Text = PosId;
    c.laRecv[0].Caption = StoreName;
    c.laRecv[1].Caption = DepotName;
    c.laRecv[2].Caption = PosName;

    // A business type the list does not hold selects nothing.
    const double type = numericValue(ServiceType);
    c.Combo1.ListIndex = (type == 0 || type == 1) ? static_cast<int>(type) : -1;

    const bool daily = numericValue(LocalInfo[3]) == 1;
    if (numericValue(LocalInfo[2]) == 1) {
        c.Check1[0].Value = 1;
        c.Check1[1].Value = 0;
        c.Option1[0].Value = daily;
        c.Option1[1].Value = !daily;
        c.Text3.Text = LocalInfo[4];
    } else {
        c.Check1[0].Value = 0;
        c.Check1[1].Value = 1;
        c.Option1[2].Value = daily;
        c.Option1[3].Value = !daily;
    }

    if (c.Combo1.ListIndex == 0) {
        c.Check2.Visible = true;
        const double value = numericValue(setting("삭제자료전송"));
        SendDeleted = numberToText(value);
        c.Check2.Value = wholeNumber(value);
    } else {
        c.chkDelivery.Visible = true;
        c.LBL_MEMO.Visible = true;
        const double value = numericValue(setting("배송정보전송"));
        SendDelivery = numberToText(value);
        c.chkDelivery.Value = wholeNumber(value);
    }
}

void Form1::SaveSettings() {
    const MainWindowControls& c = controls;
    storeSetting("1차서버", c.Text1[0].Text);
    storeSetting("2차서버", c.Text1[1].Text);
    storeSetting("사용자구성", c.Text1[2].Text);
    storeSetting("개체명", c.Text1[3].Text);
    storeSetting("경로", c.LaPath.Caption);
    storeSetting("로컬DB", c.Text2.Text);
    storeSetting("스캔방법", checkValueText(c.Check1[0]));
    storeSetting("서비스형태", std::to_string(c.Combo1.ListIndex));
    if (c.Check1[0].Value == 1) {
        storeSetting("일일스캔", c.Option1[0].Value ? "1" : "0");
        storeSetting("스캔시간", c.Text3.Text);
    } else {
        // The interval belongs to the batch method: what the box holds now is not stored.
        storeSetting("일일스캔", c.Option1[2].Value ? "1" : "0");
    }
    storeSetting("사업자", c.Text4.Text);
    storeSetting("삭제자료전송", checkValueText(c.Check2));
    storeSetting("배송정보전송", checkValueText(c.chkDelivery));
}

}  // namespace veldon
