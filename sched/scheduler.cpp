#include "sched/scheduler.h"

#include "engines/restaurant.h"
#include "engines/retail.h"
#include "platform/error.h"
#include "platform/value.h"

namespace veldon {

namespace {

const int OneMinute = 60000;

// Runs `action`, and whatever it raises, leaves Timer1 enabled afterwards: the service must keep
// ticking after any failure.
template <typename Action>
void withTimer1Disabled(Form1& form, Action action) {
    form.controls.Timer1.Enabled = false;
    try {
        action();
    } catch (...) {
        form.controls.Timer1.Enabled = true;
        throw;
    }
    form.controls.Timer1.Enabled = true;
}

}  // namespace

TransferEngines builtInEngines() {
    TransferEngines engines;
    engines.retail = TransferRetail;
    engines.restaurantDelivery = TransferRestaurantDelivery;
    engines.restaurantStandard = TransferRestaurantStandard;
    return engines;
}

TransferScheduler::TransferScheduler(Form1& form, const LineProbe& probe, TransferEngines engines)
    : m_form(form), m_probe(probe), m_engines(std::move(engines)) {}

void TransferScheduler::lineDown() {
    ++linesDown;
    lastProbeDown = true;
    m_form.log().INSERT_ERRLOG(
        "인터넷 끊김",
        "인터넷 회선을 체크하시기 바랍니다.(인터넷 회사에 연락하여 점검요망 드립니다.)");
    m_form.controls.Timer3.Enabled = true;
}

void TransferScheduler::Timer1_Timer() {
    withTimer1Disabled(m_form, [this] {
        const double interval = numericValue(m_form.LocalInfo[4]);
        if (interval - 1 != TickCount) {
            // An interval below 1 or not whole never matches; the count then wraps rather than
            // overflowing.
            TickCount = TickCount == INT16_MAX ? 0 : static_cast<std::int16_t>(TickCount + 1);
            return;
        }
        TickCount = 0;
        if (!m_probe.PingLine(m_form.DnsAddress)) {
            lineDown();
            return;
        }
        lastProbeDown = false;
        m_form.controls.lbliMsg.Caption.clear();
        DispatchTransfer();
    });
}

void TransferScheduler::DispatchTransfer() {
    m_form.controls.Label7.Caption = m_form.services().clock.now().toDateTimeText();
    const double type = numericValue(m_form.ServiceType);
    std::function<void(Form1&)>* engine = nullptr;
    if (type == 0) {
        engine = &m_engines.retail;
    } else if (type == 1) {
        engine = numericValue(m_form.SendDelivery) == 1 ? &m_engines.restaurantDelivery
                                                        : &m_engines.restaurantStandard;
    }
    try {
        if (engine && *engine) {
            (*engine)(m_form);
        }
    } catch (...) {
        // What an engine does not handle itself ends only that run.
    }
    m_form.controls.Timer1.Enabled = true;
}

void TransferScheduler::Timer3_Timer() {
    m_form.controls.lbliMsg.Visible = !m_form.controls.lbliMsg.Visible;
}

void TransferScheduler::Command2_Click(int index) {
    MainWindowControls& c = m_form.controls;
    SettingsStore& store = m_form.services().settings;
    switch (index) {
        case 0:
            if (hideWindow) {
                hideWindow();
            }
            break;
        case 1:
            withTimer1Disabled(m_form, [&] {
                store.set("TORVANE", "전송에러", "구분", "1");
                if (!m_probe.PingLine(m_form.DnsAddress)) {
                    lineDown();
                    return;
                }
                lastProbeDown = false;
                c.lbliMsg.Caption.clear();
                c.Timer3.Enabled = false;
                DispatchTransfer();
            });
            break;
        case 2:
            store.set("TORVANE", "Settings", "서비스상태", "시작");
            c.Timer1.Interval = OneMinute;
            m_form.ServiceState = "시작";
            c.Command2[2].Enabled = false;
            c.Command2[3].Enabled = true;
            break;
        case 3:
            store.set("TORVANE", "Settings", "서비스상태", "종료");
            m_form.ServiceState = "종료";
            c.Timer1.Interval = 0;
            c.Command2[2].Enabled = true;
            c.Command2[3].Enabled = false;
            break;
        case 4:
            m_form.ApplySettings();
            break;
        default:
            break;
    }
}

}  // namespace veldon
