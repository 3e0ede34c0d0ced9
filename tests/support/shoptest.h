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
    // A row written "COLUMN=literal; COLUMN=literal", with `changes` over it.
    void insert(const std::string& table, const std::string& row, const Columns& changes = {}) {
        std::string names, values;
        for (const auto& [name, value] : with(columns(row), changes)) {
            names += (names.empty() ? "" : ",") + name;
            values += (values.empty() ? "" : ",") + value;
        }
        sql("INSERT INTO " + table + " (" + names + ") VALUES (" + values + ")");
    }
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

    // The first `n` slots of an array as columns: "TPE_00,TPE_01,...".
    static std::string slots(const std::string& array, int n) {
        std::string list;
        for (int s = 0; s < n; ++s) {
            list += (s ? "," : "") + array + "_" + (s < 10 ? "0" : "") + std::to_string(s);
        }
        return list;
    }
    // What the service stored of sale `id` (or card approval `id`) in `table`, as joined() text.
    std::string stored(const std::string& table, const std::string& columns,
                       const std::string& id) {
        std::string where =
            " WHERE SALE_ID = (SELECT SALE_ID FROM SALE_HDR WHERE TPE_00 = " + q(id) + ")" +
            (table == "SALE_RT" || table == "SALE_DLV" ? "" : " ORDER BY ROW_NO");
        if (table == "SALE_HDR") {
            where = " WHERE TPE_00 = " + q(id);
        } else if (table == "CARD_APR") {
            where = " WHERE TCD_00 = " + q(id) + " ORDER BY CARD_ID";
        }
        return joined(centralQuery("SELECT " + columns + " FROM " + table + where));
    }
    // Rows as one text, slots joined by "|" and rows by "/".
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
    // The only dump of one kind, "" without one, or how many there were.
    std::string dump(const std::string& kind) {
        const auto all = dumps(kind);
        return all.size() < 2 ? (all.empty() ? "" : all[0]) : std::to_string(all.size()) + " dumps";
    }
    // The line of a dump that says why.
    static std::string secondLine(const std::string& dump) {
        const std::size_t start = dump.find("\r\n");
        return start == std::string::npos
                   ? dump
                   : dump.substr(start + 2, dump.find("\r\n", start + 2) - start - 2);
    }
    std::string why(const std::string& kind) { return secondLine(dump(kind)); }

    TempDir dir;
    FakeClock clock;
    IniSettingsStore settings;
    RecordingMessageSink messages;
    std::unique_ptr<RunningCentral> central;
    std::unique_ptr<Form1> form;
};

}  // namespace veldon::test
