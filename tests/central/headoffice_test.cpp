// The head office's page through a real browser (Debian's chromedriver driving headless chromium)
// against the service on 127.0.0.1 and a real store; and the page's session tokens and CSV fields.
#include "central/headoffice.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>

#include "central/server.h"
#include "tests/support/tempdir.h"

namespace veldon::central {
namespace {

using nlohmann::json;

TEST(HeadOfficeTest, SessionTokensAndCsvFields) {
    const std::string key = sessionKey("5:admin6:secret4:demo\n");
    const std::string token = makeSessionToken(key, "admin", 1000);
    std::string longer = token;  // the expiry pushed a day later, the signature kept
    longer.replace(longer.find('.') + 1, 10, std::to_string(1000 + kSessionSeconds + 86400));
    const struct {
        const char* what;
        std::string key, token;
        std::int64_t now;
        std::optional<std::string> user;
    } tokens[] = {
        {"valid until its last second", key, token, 1000 + kSessionSeconds - 1, "admin"},
        {"expired", key, token, 1000 + kSessionSeconds, std::nullopt},
        {"expiry tampered", key, longer, 1000, std::nullopt},
        {"user tampered", key, "6f74686572" + token.substr(token.find('.')), 1000, std::nullopt},
        {"key of other accounts", sessionKey("other"), token, 1000, std::nullopt},
        {"not a token", key, "admin", 1000, std::nullopt},
    };
    for (const auto& t : tokens) {
        EXPECT_EQ(sessionUser(t.key, t.token, t.now), t.user) << t.what;
    }
    const struct {
        const char *what, *text, *field;
    } fields[] = {
        {"formula", "=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
        {"formula by sign", "-2+3", "\"'-2+3\""},
        {"formula by at", "@SUM(A1)", "\"'@SUM(A1)\""},
        {"quote and comma", "Kim's \"best\", 2", "\"Kim's \"\"best\"\", 2\""},
        {"Korean as is", "강남점", "\"강남점\""},
    };
    for (const auto& f : fields) {
        EXPECT_EQ(csvField(f.text), f.field) << f.what;
    }
    EXPECT_EQ(escapeHtml("<a href='x'>\"&\""), "&lt;a href=&#39;x&#39;&gt;&quot;&amp;&quot;");
}

// chromedriver on a free loopback port with one headless chromium session.
class Browser {
public:
    explicit Browser(const std::filesystem::path& profile) {
        const int sock = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(sock, reinterpret_cast<sockaddr*>(&address), size);
        getsockname(sock, reinterpret_cast<sockaddr*>(&address), &size);
        close(sock);
        const std::string port = "--port=" + std::to_string(ntohs(address.sin_port));
        const std::string log = "--log-path=" + (profile / "chromedriver.log").string();
        m_pid = fork();
        if (m_pid == 0) {
            const int quiet = ::open("/dev/null", O_WRONLY);
            dup2(quiet, STDOUT_FILENO);
            dup2(quiet, STDERR_FILENO);
            execl("/usr/bin/chromedriver", "chromedriver", port.c_str(), log.c_str(), nullptr);
            _exit(127);
        }
        m_driver = std::make_unique<httplib::Client>("127.0.0.1", ntohs(address.sin_port));
        m_driver->set_read_timeout(60);
        for (int i = 0; i < 100 && !m_driver->Get("/status"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        // Every name resolves to nothing and every other address goes to a closed local port:
        // the browser reaches nothing beyond the loopback service.
        json args = {"--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
                     "--user-data-dir=" + (profile / "chromium").string()};
        std::istringstream flags(
            "--headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
            "--disable-background-networking --disable-component-update --disable-sync "
            "--proxy-server=http://127.0.0.1:9 --window-size=1860,460");
        for (std::string flag; flags >> flag;) {
            args.push_back(flag);
        }
        const json session = call(
            "POST", "/session",
            {{"capabilities",
              {{"alwaysMatch",
                {{"goog:chromeOptions", {{"binary", "/usr/bin/chromium"}, {"args", args}}}}}}}});
        m_session = "/session/" + session.value("sessionId", std::string());
    }
    ~Browser() {
        if (m_session != "/session/") {
            call("DELETE", m_session);
        }
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }

    // The value of a WebDriver command; {"error": ...} when it failed.
    json call(const std::string& method, const std::string& path, const json& body = json()) {
        const auto res = method == "GET" ? m_driver->Get(path)
                         : method == "DELETE"
                             ? m_driver->Delete(path)
                             : m_driver->Post(path, body.dump(), "application/json");
        if (!res) {
            return {{"error", "no answer from chromedriver"}};
        }
        return json::parse(res->body, nullptr, false).value("value", json());
    }
    json session(const std::string& method, const std::string& path, const json& body = json()) {
        return call(method, m_session + path, body);
    }
    void open(const std::string& url) { session("POST", "/url", {{"url", url}}); }
    // Types into the form's fields and submits it.
    void logIn(const std::string& user, const std::string& password) {
        for (const auto& [css, text] :
             {std::pair{"input[name=user]", user}, std::pair{"input[name=password]", password}}) {
            session("POST", "/element/" + element(css) + "/value", {{"text", text}});
        }
        session("POST", "/element/" + element("button[type=submit]") + "/click", json::object());
    }
    // Waits (10 s at most) until the page the last click led to shows `css`: under the
    // sanitizers a click may return before the next page has loaded.
    bool waitFor(const std::string& css) {
        for (int i = 0; i < 100; ++i) {
            if (element(css) != "none") {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    std::string element(const std::string& css) {
        const json e = session("POST", "/element", {{"using", "css selector"}, {"value", css}});
        return e.is_object() && !e.contains("error") ? e.begin()->get<std::string>() : "none";
    }
    json script(const std::string& body) {
        return session("POST", "/execute/sync", {{"script", body}, {"args", json::array()}});
    }

private:
    pid_t m_pid = -1;
    std::unique_ptr<httplib::Client> m_driver;
    std::string m_session;
};

// A retail sale of counter 01; `key` is "<store>/<sale>".
SaleUpload sale(const std::string& key) {
    const std::string store = key.substr(0, 5), id = key.substr(6);
    SaleUpload s;
    s.method = "PutPSM13";
    s.TPE = TextArray(22);
    s.TPS = TextTable(1, 19);
    s.TRT = TextArray(8);
    s.TAC = TextTable(1, 26);
    s.saleKey = key;
    s.TPE(0) = id;
    s.TPE(4) = store;
    s.TPE(21) = "01";
    return s;
}

TEST(HeadOfficeTest, BrowserLogsInAndReadsTheShops) {
    for (const char* program : {"/usr/bin/chromium", "/usr/bin/chromedriver"}) {
        if (access(program, X_OK) != 0) {
            GTEST_SKIP() << program << " is missing (apt-get install chromium chromium-driver)";
        }
    }
    test::TempDir dir;
    const std::string hostile = "<script>alert(1)</script>\"><img src=x onerror=alert(2)>";
    auto store = openSqliteStore(dir / "central.db");
    store->addShop({"S0001", "강남점", "H01", "본사창고", "01", "카운터1"});
    store->addShop({"S0002", hostile, "", "", "", ""});
    store->addShop({"S0003", "부산 해운대점", "", "", "", ""});  // sent, but two days ago
    store->addShop({"S0004", "제주점", "", "", "", ""});         // never sent
    for (const char* key : {"S0001/1", "S0001/2", "S0001/3", "S0002/1", "S0003/1"}) {
        ASSERT_TRUE(store->putSale(sale(key)).accepted);
    }
    ASSERT_FALSE(store->putSale(sale("S0001/2")).accepted);  // a duplicate
    TextTable card(1, 13);
    card(0, 1) = "S0001";
    card(0, 12) = "A1";
    ASSERT_TRUE(store->putCards(card, "").accepted);
    ASSERT_TRUE(store->reportVersion("1.0.19", "01", "S0001").accepted);
    sqlite3* db = nullptr;
    sqlite3_open((dir / "central.db").c_str(), &db);
    ASSERT_EQ(sqlite3_exec(db,
                           "UPDATE SALE_HDR SET RECEIVED_AT = datetime(RECEIVED_AT, '-2 days') "
                           "WHERE RCT_CODE = 'S0003' OR TPE_00 = '3'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    ServiceConfig config;
    config.accounts = {{"head", "office", "central"}};
    CentralService service(config, *store);
    const std::string url = "http://127.0.0.1:" + std::to_string(service.start());

    Browser browser(dir.path());
    browser.open(url + "/");
    ASSERT_NE(browser.element("input[name=password]"), "none") << "no login form";
    browser.logIn("head", "guessed");
    ASSERT_TRUE(browser.waitFor("p.message"));
    EXPECT_EQ(browser.element("table"), "none") << "in with a wrong password";
    EXPECT_EQ(browser.script("return document.querySelector('p.message').textContent"),
              "The user name or the password is wrong.");
    browser.logIn("head", "office");
    ASSERT_TRUE(browser.waitFor("tbody tr"));
    const json page = browser.script(
        "return {rows: [...document.querySelectorAll('tbody tr')].map(r => ({silent: "
        "r.classList.contains('silent'), background: getComputedStyle(r).backgroundColor, "
        "cells: [...r.cells].map(c => c.textContent)})), count: "
        "document.querySelector('p.count').textContent, scripts: document.scripts.length, "
        "images: document.images.length}");
    const json rows = page.value("rows", json::array());
    ASSERT_EQ(rows.size(), 4u) << page.dump();
    auto cells = [&](std::size_t row, std::initializer_list<int> columns) {
        std::string text = rows[row]["silent"] ? "[silent]" : "";
        for (const int column : columns) {
            text += " " + rows[row]["cells"][column].get<std::string>();
        }
        return text;
    };
    // Columns: 0 store, 1 name, 2 status, 4 version, 6 and 7 today's sales and cards, 10 the
    // sales of two days ago, 20 duplicates.
    EXPECT_EQ(cells(0, {1, 2, 4, 6, 7, 10, 20}), " 강남점 ok 1.0.19 2 1 1 1");
    EXPECT_EQ(cells(1, {1, 2, 6}), " " + hostile + " ok 1");
    EXPECT_EQ(cells(2, {1, 2, 10}), "[silent] 부산 해운대점 silent for 2 days 1");
    EXPECT_EQ(cells(3, {1, 2}), "[silent] 제주점 silent: never sent");
    for (const std::size_t silent : {2, 3}) {
        EXPECT_NE(rows[silent]["background"], rows[0]["background"]) << "not set apart";
    }
    EXPECT_EQ(page["scripts"], 0);
    EXPECT_EQ(page["images"], 0);
    EXPECT_TRUE(browser.session("GET", "/alert/text").contains("error")) << "a script ran";
    EXPECT_EQ(page["count"].get<std::string>().substr(0, 19), "2 of 4 shops silent");
    if (const char* png = std::getenv("VELDON_HEADOFFICE_PNG")) {
        const std::string base64 = browser.session("GET", "/screenshot").get<std::string>();
        std::string bytes(base64.size(), '\0');
        const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                      reinterpret_cast<const unsigned char*>(base64.data()),
                                      static_cast<int>(base64.size()));
        const std::size_t padding = base64.ends_with("==") ? 2 : base64.ends_with("=") ? 1 : 0;
        std::ofstream(png, std::ios::binary).write(bytes.data(), n - padding);
    }

    const json cookie = browser.session("GET", std::string("/cookie/") + kSessionCookie);
    EXPECT_EQ(cookie["httpOnly"], true);
    EXPECT_EQ(cookie["sameSite"], "Strict");
    httplib::Client client("127.0.0.1", service.port());
    EXPECT_EQ(client.Get("/shops.csv")->status, 401);
    const auto csv = client.Get("/shops.csv", {{"Cookie", std::string(kSessionCookie) + "=" +
                                                              cookie["value"].get<std::string>()}});
    ASSERT_TRUE(csv && csv->status == 200);
    EXPECT_EQ(csv->get_header_value("Content-Disposition").rfind("attachment;", 0), 0u);
    EXPECT_EQ(csv->body.rfind("\xEF\xBB\xBF\"Store\",\"Name\",\"Status\",", 0), 0u);
    EXPECT_NE(csv->body.find("\r\n\"S0002\",\"<script>alert(1)</script>\"\"><img src=x "
                             "onerror=alert(2)>\",\"ok\",\""),
              std::string::npos)
        << csv->body;
}

}  // namespace
}  // namespace veldon::central
