// A scratch shop for the engine tests: its database made row by row, the real reference service on
// 127.0.0.1, a form filled as start-up fills it, and readers of what the service stored and of
// the dump files.
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

class ShopTest : public ::testing::Test {
protected:
    // A shop of business type "0" (POS.MDB) or "1" (FOOD.MDB), registered at the service as
    // store S0001, depot H01, counter 01.
    explicit ShopTest(const std::string& serviceType) : settings(dir / "config") {
        std::filesystem::create_directories(program() / "log");
        std::filesystem::create_directories(data());
        std::filesystem::create_directories(dir / "central");
        central = std::make_unique<RunningCentral>(dir / "central");
        form = std::make_unique<Form1>(Form1Services{settings, messages, clock, program()});
        const bool retail = serviceType == "0";
        form->ServerInfo = {central->server(), "", "", retail ? "VARNIK.MEM" : "lumora.demon"};
        form->LocalInfo = {data().string(), retail ? "POS.MDB" : "FOOD.MDB", "1", "0", "1", ""};
        form->LocalConnStr = "PROVIDER=MSDataShape;Driver={Microsoft Access Driver (*.mdb)};Dbq=" +
                             form->LocalInfo[1] + ";DefaultDir=" + data().string() +
                             (retail ? ";Uid=Admin;pwd=%%%4172" : ";Uid=Admin;pwd=qtrk48207");
        form->CenterConnStr = RunningCentral::Connection;
        form->StoreCode = "S0001";
        form->StoreName = "데모 식당";
        form->DepotCode = "H01";
        form->DepotName = "본사창고";
        form->PosId = "01";
        form->ServiceType = serviceType;
    }

    std::filesystem::path program() const { return dir / "program"; }
    std::filesystem::path data() const { return dir / "data"; }

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
    // "COLUMN=literal; COLUMN=literal" as columns, for default rows written compactly.
    static Columns columns(const std::string& text) {
        Columns parsed;
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find("; ", at);
            end = end == std::string::npos ? text.size() : end;
            const std::size_t eq = text.find('=', at);
            parsed[text.substr(at, eq - at)] = text.substr(eq + 1, end - eq - 1);
            at = end + 2;
        }
        return parsed;
    }
    static Columns with(Columns base, const Columns& changes) {
        for (const auto& [name, value] : changes) {
            base[name] = value;
        }
        return base;
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
    // Rows as one text, slots joined by "|" and rows by "/", for expectations written compactly.
    static std::string joined(const Rows& rows) {
        std::string text;
        for (const auto& row : rows) {
            text += text.empty() ? "" : "/";
            for (std::size_t s = 0; s < row.size(); ++s) {
                text += (s ? "|" : "") + row[s];
            }
        }
        return text;
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
