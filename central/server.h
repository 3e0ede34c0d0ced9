// The HTTP face of the reference central service: answers the shops' remote calls
// (POST /rds/<ProgID>/<Method>, JSON bodies of remote/wire.h) from a CentralStore.
//
// Every call's server connection string must name a configured account (UID, PWD and DATABASE,
// keys read without regard to letter case); with no accounts every call is refused. GETSQL and
// PUTSQL accept only the agent's own statements (central/sqlshapes.h) and never run SQL; any other
// statement gets an empty recordset or false, with the reason in the reply text.
// Failures of the call itself come back as the protocol's error bodies, numbered like the errors
// of the Windows program (429 no such object, 438 no such method, 5 bad arguments, 70 credentials,
// 7 body too large or the service short of memory, -2147467259 store failure).
//
// It also serves the head office's page (central/headoffice.h): GET / and GET /shops.csv behind a
// login (GET and POST /login, GET /logout) with the user names and passwords of the accounts.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "central/headoffice.h"
#include "central/httpserver.h"
#include "central/store.h"

namespace veldon::central {

struct Account {
    std::string user;
    std::string password;
    std::string database;
};

// One call as the service answered it, for its log. Never holds a password.
struct CallNote {
    std::string client;    // the caller's address
    std::string method;    // as called, "-" when the path named none
    std::string store;     // the store code the upload names, "-" when it names none or is unread
    int status = 200;      // HTTP status of the answer
    bool refused = false;  // HTTP 200 with the result false
    std::string reason;    // the reply text of a refusal or the description of an error
};

struct ServiceConfig {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: any free port, see CentralService::port()
    std::vector<Account> accounts;
    // ProgIDs served besides "lumora.demon" and "VARNIK.MEM" (setting 개체명 of the shops).
    std::vector<std::string> progIds;
    // Connections, memory and time a request may take (central/httpserver.h). A retail shop sends
    // all its unsent card approvals in one putcard call: a first installation with 100,000 sales
    // sends about 56,000 in some 10 MB, so a body may hold 32 MB.
    HttpLimits limits;
    // HTTPS: the PEM certificate chain and private key presented to the shops (both or neither);
    // the page's session cookie is then marked Secure.
    std::string tlsCertificateFile;
    std::string tlsKeyFile;
    // The most texts one call's arguments may hold (that putcard holds about 730,000; 2 million
    // are 150,000 card approvals), and the most slots of one row of a two-dimensional array (the
    // widest has 26). Decoded, 2 million texts take some 70 MB, within one address's share of
    // the memory budget.
    std::size_t maxTexts = 2'000'000;
    std::size_t maxSlots = 64;
    // Told of every call once it is answered, on the thread that answered it; also of every
    // refused login to the page (method "login").
    std::function<void(const CallNote&)> onCall;
    // The head office's page: how long a shop may send nothing before it is silent, and the days
    // shown.
    PageOptions page;
};

class CentralService {
public:
    // `store` must outlive the service.
    CentralService(ServiceConfig config, CentralStore& store);
    ~CentralService();  // stops
    CentralService(const CentralService&) = delete;
    CentralService& operator=(const CentralService&) = delete;

    // Binds and serves on a thread of its own; returns the bound port. Raises veldon::Error when
    // the address cannot be bound or the service runs already.
    int start();
    // Stops accepting, answers the requests in flight, then returns. Safe to call twice.
    void stop();
    int port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The value of `key` in an ODBC connection string ("DRIVER={...};UID=u;PWD=p;..."); keys without
// regard to letter case, braced values unbraced. Empty when the key is absent.
std::string connectionValue(const std::string& connectionString, const std::string& key);

}  // namespace veldon::central
