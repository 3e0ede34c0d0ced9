// A scratch restaurant shop for the engine tests: a FOOD.MDB made row by row, the real reference
// service on 127.0.0.1, a form filled as start-up fills it, and readers of what the service stored
// and of the dump files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/form1.h"
#include "platform/settingsstore.h"
#include "platform/textcodec.h"
#include "tests/support/central.h"
#include "tests/support/fakes.h"
#include "tests/support/tempdir.h"
#include "tools/demodb.h"

namespace veldon::test {

using Columns = std::map<std::string, std::string>;  // column -> SQL literal
using Rows = std::vector<std::vector<std::string>>;

inline std::string q(const std::string& text) {
    return "'" + text + "'";
}

class RestaurantShopTest : public ::testing::Test {
protected:
    // `delivery`: the shop sends delivery data (배송정보전송 "1"), else the standard engine runs.
    explicit RestaurantShopTest(bool delivery) : settings(dir / "config") {
        std::filesystem::create_directories(program() / "log");
        std::filesystem::create_directories(data());
        std::filesystem::create_directories(dir / "central");
        central = std::make_unique<RunningCentral>(dir / "central");
        form = std::make_unique<Form1>(Form1Services{settings, messages, clock, program()});
        form->ServerInfo = {central->server(), "", "", "lumora.demon"};
        form->LocalInfo = {data().string(), "FOOD.MDB", "1", "0", "1", ""};
        form->LocalConnStr =
            "PROVIDER=MSDataShape;Driver={Microsoft Access Driver (*.mdb)};Dbq=FOOD.MDB;"
            "DefaultDir=" +
            data().string() + ";Uid=Admin;pwd=qtrk48207";
        form->CenterConnStr = RunningCentral::Connection;
        form->StoreCode = "S0001";
        form->StoreName = "데모 식당";
        form->DepotCode = "H01";
        form->DepotName = "본사창고";
        form->PosId = "01";
        form->ServiceType = "1";
        form->SendDelivery = delivery ? "1" : "0";
        form->CfOptionValue = 1;
    }

    std::filesystem::path program() const { return dir / "program"; }
    std::filesystem::path data() const { return dir / "data"; }

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

    void sql(const std::string& statement) {
        auto db = createConnection();
        db->open(form->LocalConnStr);
        db->execute(statement);
    }
    std::string local(const std::string& query) {
        auto db = createConnection();
        db->open(form->LocalConnStr);
        auto rs = db->openRecordset(query);
        return rs->eof() ? "<none>" : rs->field(0).textOr("<null>");
    }
    void insert(const std::string& table, const Columns& columns) {
        std::string names, values;
        for (const auto& [name, value] : columns) {
            names += (names.empty() ? "" : ",") + name;
            values += (values.empty() ? "" : ",") + value;
        }
        sql("INSERT INTO " + table + " (" + names + ") VALUES (" + values + ")");
    }
    static Columns with(Columns base, const Columns& changes) {
        for (const auto& [name, value] : changes) {
            base[name] = value;
        }
        return base;
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

    // What the service stored: the slots of one array of sale `id`, one vector per row.
    Rows stored(const std::string& table, const std::string& array, int slots,
                const std::string& id) {
        std::string columns;
        for (int s = 0; s < slots; ++s) {
            columns += (s ? "," : "") + array + "_" + (s < 10 ? "0" : "") + std::to_string(s);
        }
        std::string where;
        if (table == "SALE_HDR") {
            where = " WHERE TPE_00 = " + q(id);
        } else if (table == "CARD_APR") {
            where = " WHERE TCD_00 = " + q(id) + " ORDER BY CARD_ID";
        } else {
            where = " WHERE SALE_ID = (SELECT SALE_ID FROM SALE_HDR WHERE TPE_00 = " + q(id) + ")";
            if (table != "SALE_RT" && table != "SALE_DLV") {
                where += " ORDER BY ROW_NO";
            }
        }
        return centralQuery("SELECT " + columns + " FROM " + table + where);
    }
    Rows centralQuery(const std::string& query) {
        auto db = createConnection();
        db->open("Dbq=central.db;DefaultDir=" + central->file().parent_path().string());
        auto rs = db->openRecordset(query);
        Rows rows;
        for (; !rs->eof(); rs->moveNext()) {
            std::vector<std::string> row;
            for (int f = 0; f < rs->fieldCount(); ++f) {
                row.push_back(rs->field(f).textOr("<null>"));
            }
            rows.push_back(row);
        }
        return rows;
    }

    // Dump files of one kind ("e", "c", "p", "DC"), decoded.
    std::vector<std::string> dumps(const std::string& kind) {
        std::vector<std::string> texts;
        for (const auto& file : std::filesystem::directory_iterator(program() / "log")) {
            const std::string name = file.path().filename().string();
            if (name.rfind(kind, 0) == 0 && name.size() == kind.size() + 17) {
                texts.push_back(cp949ToUtf8(readFile(file.path())));
            }
        }
        return texts;
    }
    static std::string secondLine(const std::string& dump) {
        const std::size_t start = dump.find("\r\n") + 2;
        return dump.substr(start, dump.find("\r\n", start) - start);
    }

    TempDir dir;
    FakeClock clock;
    IniSettingsStore settings;
    RecordingMessageSink messages;
    std::unique_ptr<RunningCentral> central;
    std::unique_ptr<Form1> form;
};

}  // namespace veldon::test
