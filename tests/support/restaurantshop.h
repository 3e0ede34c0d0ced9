// A scratch restaurant shop for the engine tests: a FOOD.MDB with product P1 and the rows a test
// adds, and the engine the shop's delivery option picks.
#pragma once

#include <string>

#include "engines/restaurant.h"
#include "tests/support/shoptest.h"
#include "tools/demodb.h"

namespace veldon::test {

class RestaurantShopTest : public ShopTest {
protected:
    // `delivery`: the shop sends delivery data (배송정보전송 "1"); `sales` realistic ones first.
    explicit RestaurantShopTest(bool delivery, long sales = 0) : ShopTest("1") {
        form->SendDelivery = delivery ? "1" : "0";
        form->CfOptionValue = 1;
        demodb::DemoDbOptions o;
        o.kind = demodb::Kind::Restaurant;
        o.sales = sales;
        o.today = clock.now();
        demodb::makeDemoDb(o, data() / "FOOD.MDB");
        insert("PR", "PR_CODE='P1'; PR_NAME='김치찌개'; PR_TAX='1'; PR_COST=1500");
    }

    void run() {
        if (form->SendDelivery == "1") {
            TransferRestaurantDelivery(*form);
        } else {
            TransferRestaurantStandard(*form);
        }
    }

    // A closed sale of 9000 at table 05, unsent.
    void header(const std::string& id, const Columns& changes = {}) {
        insert(
            "PE",
            "PE_DATE='2024-03-05'; PE_AMT=8182; PE_VAT=818; PE_TOT=9000; PE_DAMT=0; PE_RPOINT=0; "
            "PE_DPOINT=0; PE_NTBID='05'; PE_PSN=2; PE_SDATE='2024-03-05 12:00:00'; "
            "PE_EDATE='2024-03-05 12:40:00'; PE_BAMT=9000; PE_SVC=0; PE_TIP=0; PE_CK=-1; PE_ID=" +
                q(id),
            changes);
    }
    void entry(const std::string& id, int no, const std::string& account, const std::string& amount,
               const Columns& changes = {}) {
        insert("AC",
               "AC_PDATE='2024-03-05'; AC_SDATE='2024-03-05 12:40:00'; AC_FNCD2='00'; AC_DC='D'; "
               "AC_UCODE='U01'; AC_GU='AC11'; PE_ID=" +
                   q(id) + "; AC_NO=" + std::to_string(no) + "; AC_FNCD1=" + q(account) +
                   "; AC_AMT=" + amount,
               changes);
    }
    void line(const std::string& id, int no, const std::string& amount, const std::string& vat,
              const Columns& changes = {}) {
        insert("PS",
               "PS_DATE='2024-03-05'; PS_PRNAME='김치찌개'; PS_UP=4500; PS_QTY=1; PS_PRCODE='P1'; "
               "PS_TYPE='SS00'; PE_ID=" +
                   q(id) + "; PS_NO=" + std::to_string(no) + "; PS_AMT=" + amount +
                   "; PS_VAT=" + vat,
               changes);
    }
    void card(const std::string& id, const Columns& changes = {}) {
        insert("CREDIT",
               "AC_BILLNO='01'; CD_DATE='2024-03-05'; CD_GU='1'; CD_NO='9410123456781234=2712101'; "
               "CD_MONTH='00'; CD_NAME='신한카드'; CD_CTNAME='BC카드'; CD_INS='03'; CD_AMT=9000; "
               "CD_CTNO='00911111'; CD_APRNO='30012345'; CD_SD=0; AC_ID=" +
                   q(id),
               changes);
    }

    // A plain sale paid in cash, with one line.
    void cashSale(const std::string& id, const Columns& changes = {}) {
        header(id, changes);
        entry(id, 1, "111010", "9000");
        line(id, 1, "8182", "818");
    }
    // The documented discount example: lines 4545 + 4546 and taxes 455 + 454 against a header of
    // 8182, 818 and 9000, discount 1000, 10000 before it, no service charge.
    void discountedSale(const std::string& id, const Columns& changes = {},
                        const Columns& lineChanges = {}) {
        header(id, with(columns("PE_DAMT=1000; PE_BAMT=10000"), changes));
        entry(id, 1, "111010", "9000");
        line(id, 1, "4545", "455", lineChanges);
        line(id, 2, "4546", "454", lineChanges);
    }
};

}  // namespace veldon::test
