// A scratch restaurant shop for the engine tests: a FOOD.MDB made row by row, with the rows a
// restaurant's tables hold and a reader of the arrays the service stored per sale.
#pragma once

#include <string>

#include "tests/support/shoptest.h"
#include "tools/demodb.h"

namespace veldon::test {

class RestaurantShopTest : public ShopTest {
protected:
    // `delivery`: the shop sends delivery data (배송정보전송 "1"), else the standard engine runs.
    explicit RestaurantShopTest(bool delivery) : ShopTest("1") {
        form->SendDelivery = delivery ? "1" : "0";
        form->CfOptionValue = 1;
    }

    // A FOOD.MDB of `sales` realistic sales (none: only products and settings) plus product P1.
    void database(long sales = 0) {
        demodb::DemoDbOptions o;
        o.kind = demodb::Kind::Restaurant;
        o.sales = sales;
        o.today = clock.now();
        demodb::makeDemoDb(o, data() / "FOOD.MDB");
        insert("PR", {{"PR_CODE", q("P1")},
                      {"PR_NAME", q("김치찌개")},
                      {"PR_TAX", q("1")},
                      {"PR_COST", "1500"}});
    }

    void header(const std::string& id, const Columns& changes = {}) {
        insert("PE", with({{"PE_ID", q(id)},
                           {"PE_DATE", q("2024-03-05")},
                           {"PE_AMT", "8182"},
                           {"PE_VAT", "818"},
                           {"PE_TOT", "9000"},
                           {"PE_DAMT", "0"},
                           {"PE_RPOINT", "0"},
                           {"PE_DPOINT", "0"},
                           {"PE_SDATE", q("2024-03-05 12:00:00")},
                           {"PE_EDATE", q("2024-03-05 12:40:00")},
                           {"PE_NTBID", q("05")},
                           {"PE_PSN", "2"},
                           {"PE_BAMT", "9000"},
                           {"PE_SVC", "0"},
                           {"PE_TIP", "0"},
                           {"PE_CK", "-1"}},
                          changes));
    }
    void entry(const std::string& id, int no, const std::string& account, const std::string& amount,
               const Columns& changes = {}) {
        insert("AC", with({{"PE_ID", q(id)},
                           {"AC_NO", std::to_string(no)},
                           {"AC_PDATE", q("2024-03-05")},
                           {"AC_SDATE", q("2024-03-05 12:40:00")},
                           {"AC_FNCD1", q(account)},
                           {"AC_FNCD2", q("00")},
                           {"AC_AMT", amount},
                           {"AC_DC", q("D")},
                           {"AC_UCODE", q("U01")},
                           {"AC_GU", q("AC11")}},
                          changes));
    }
    void line(const std::string& id, int no, const std::string& amount, const std::string& vat,
              const Columns& changes = {}) {
        insert("PS", with({{"PE_ID", q(id)},
                           {"PS_NO", std::to_string(no)},
                           {"PS_DATE", q("2024-03-05")},
                           {"PS_PRNAME", q("김치찌개")},
                           {"PS_UP", unitPrice},
                           {"PS_QTY", "1"},
                           {"PS_AMT", amount},
                           {"PS_VAT", vat},
                           {"PS_PRCODE", q("P1")},
                           {"PS_TYPE", q("SS00")}},
                          changes));
    }
    void card(const std::string& id, const Columns& changes = {}) {
        insert("CREDIT", with({{"AC_ID", q(id)},
                               {"AC_BILLNO", q("01")},
                               {"CD_DATE", q("2024-03-05")},
                               {"CD_GU", q("1")},
                               {"CD_NO", q("9410123456781234=2712101")},
                               {"CD_MONTH", q("00")},
                               {"CD_NAME", q("신한카드")},
                               {"CD_CTNAME", q("BC카드")},
                               {"CD_INS", q("03")},
                               {"CD_AMT", "9000"},
                               {"CD_CTNO", q("00911111")},
                               {"CD_APRNO", q("30012345")},
                               {"CD_SD", "0"}},
                              changes));
    }
    // The unit price of the lines line() adds.
    std::string unitPrice = "4500";

    // A plain sale paid in cash, with one line.
    void cashSale(const std::string& id, const Columns& changes = {}) {
        header(id, changes);
        entry(id, 1, "111010", "9000");
        line(id, 1, "8182", "818");
    }

};

}  // namespace veldon::test
