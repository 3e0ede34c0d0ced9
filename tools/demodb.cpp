#include "tools/demodb.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/error.h"

namespace veldon::demodb {

namespace {

// The numbers Visual Basic raises for the same refusals, as the program's other errors carry.
constexpr long kInvalidArgument = 5;
constexpr long kFileAlreadyExists = 58;
constexpr long kPathNotFound = 76;

// ---------------------------------------------------------------------------------------------
// Pseudo-random numbers. The standard engines are portable but the standard distributions are
// not, so both the generator (xoshiro256**, seeded by splitmix64) and the mapping to ranges are
// our own: a seed gives the same database everywhere.

class Random {
public:
    explicit Random(std::uint64_t seed) {
        for (auto& word : m_state) {
            seed += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
    }

    std::uint64_t next() {
        const std::uint64_t result = rotl(m_state[1] * 5, 7) * 9;
        const std::uint64_t t = m_state[1] << 17;
        m_state[2] ^= m_state[0];
        m_state[3] ^= m_state[1];
        m_state[1] ^= m_state[2];
        m_state[0] ^= m_state[3];
        m_state[2] ^= t;
        m_state[3] = rotl(m_state[3], 45);
        return result;
    }

    // Uniform in [0, n), n > 0: values below 2^64 mod n are redrawn so that no remainder is
    // favoured.
    std::uint64_t below(std::uint64_t n) {
        const std::uint64_t skip = (0 - n) % n;
        for (;;) {
            const std::uint64_t r = next();
            if (r >= skip) {
                return r % n;
            }
        }
    }

    // Uniform in [lo, hi].
    long between(long lo, long hi) {
        return lo + static_cast<long>(below(static_cast<std::uint64_t>(hi - lo) + 1));
    }

    bool percent(int p) { return below(100) < static_cast<std::uint64_t>(p); }

    template <typename T>
    const T& pick(const std::vector<T>& items) {
        return items[below(items.size())];
    }
    template <typename T, std::size_t N>
    const T& pick(const T (&items)[N]) {
        return items[below(N)];
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    std::array<std::uint64_t, 4> m_state{};
};

// ---------------------------------------------------------------------------------------------
// Calendar arithmetic on day numbers (days since 1970-01-01), proleptic Gregorian.

struct Date {
    int year;
    int month;
    int day;
};

std::int64_t daysFromCivil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

Date civilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {static_cast<int>(yoe + era * 400) + (m <= 2 ? 1 : 0), m, d};
}

// 0 = Sunday.
int weekday(std::int64_t dayNumber) {
    const std::int64_t w = (dayNumber + 4) % 7;
    return static_cast<int>(w < 0 ? w + 7 : w);
}

std::string digits(std::int64_t value, int width) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%0*lld", width, static_cast<long long>(value));
    return buffer;
}

std::string dateText(const Date& d) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", d.year, d.month, d.day);
    return buffer;
}

std::string dateTimeText(const Date& d, long secondOfDay) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02ld:%02ld:%02ld", d.year, d.month, d.day,
                  secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60);
    return buffer;
}

// ---------------------------------------------------------------------------------------------
// Amounts. Prices and payments are whole won; only a few tax splits are made to the hundredth,
// as some POS versions store them. Amounts are kept in hundredths and stored as a whole number
// whenever they are one.

struct Money {
    std::int64_t hundredths = 0;
};

Money won(std::int64_t w) {
    return {w * 100};
}

// a / b rounded half away from zero, b > 0.
std::int64_t roundDiv(std::int64_t a, std::int64_t b) {
    return a >= 0 ? (a + b / 2) / b : -((-a + b / 2) / b);
}

// The tax part of a price that includes 10% VAT: round(gross / 11), to the won or to the
// hundredth.
Money vatOf(Money gross, bool toHundredth) {
    return toHundredth ? Money{roundDiv(gross.hundredths, 11)}
                       : Money{roundDiv(gross.hundredths, 1100) * 100};
}

// ---------------------------------------------------------------------------------------------
// SQLite.

std::string utf8(const std::filesystem::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

class Database {
public:
    explicit Database(const std::filesystem::path& file) : m_file(utf8(file)) {
        // The file exists already (created empty by the caller); never create one here.
        if (sqlite3_open_v2(m_file.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
            sqlite3_close(m_db);
            throw Error(errc::ProviderError, "cannot open " + m_file + ": " + message);
        }
    }
    ~Database() { sqlite3_close(m_db); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void exec(const char* sql) {
        char* message = nullptr;
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string text = message ? message : sqlite3_errmsg(m_db);
            sqlite3_free(message);
            throw Error(errc::ProviderError, m_file + ": " + text);
        }
    }
    void exec(const std::string& sql) { exec(sql.c_str()); }

    sqlite3* handle() const { return m_db; }
    const std::string& file() const { return m_file; }

private:
    std::string m_file;
    sqlite3* m_db = nullptr;
};

// A prepared INSERT into one table; values are bound in column order, then insert() writes the
// row. Counts the rows it wrote.
class Insert {
public:
    Insert(Database& db, std::string table, const std::vector<std::string_view>& columns)
        : m_db(db), m_table(std::move(table)) {
        std::string sql = "INSERT INTO " + m_table + " (";
        std::string marks;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            sql += (i ? "," : "") + std::string(columns[i]);
            marks += i ? ",?" : "?";
        }
        sql += ") VALUES (" + marks + ")";
        check(sqlite3_prepare_v2(m_db.handle(), sql.c_str(), -1, &m_stmt, nullptr));
        m_columns = static_cast<int>(columns.size());
    }
    ~Insert() { sqlite3_finalize(m_stmt); }
    Insert(const Insert&) = delete;
    Insert& operator=(const Insert&) = delete;

    Insert& null() {
        check(sqlite3_bind_null(m_stmt, ++m_bound));
        return *this;
    }
    Insert& integer(std::int64_t v) {
        check(sqlite3_bind_int64(m_stmt, ++m_bound, v));
        return *this;
    }
    Insert& text(std::string_view v) {
        check(sqlite3_bind_text(m_stmt, ++m_bound, v.data(), static_cast<int>(v.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Insert& maybeText(const std::optional<std::string>& v) { return v ? text(*v) : null(); }
    Insert& money(Money v) {
        if (v.hundredths % 100 == 0) {
            return integer(v.hundredths / 100);
        }
        check(sqlite3_bind_double(m_stmt, ++m_bound, static_cast<double>(v.hundredths) / 100.0));
        return *this;
    }

    void insert() {
        if (m_bound != m_columns) {
            throw Error(kInvalidArgument, "demo row for " + m_table + " has " +
                                              std::to_string(m_bound) + " values for " +
                                              std::to_string(m_columns) + " columns");
        }
        if (sqlite3_step(m_stmt) != SQLITE_DONE) {
            check(sqlite3_errcode(m_db.handle()));
        }
        sqlite3_reset(m_stmt);
        m_bound = 0;
        ++m_rows;
    }

    const std::string& table() const { return m_table; }
    long rows() const { return m_rows; }

private:
    void check(int rc) {
        if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
            throw Error(errc::ProviderError,
                        m_db.file() + ", table " + m_table + ": " + sqlite3_errmsg(m_db.handle()));
        }
    }

    Database& m_db;
    std::string m_table;
    sqlite3_stmt* m_stmt = nullptr;
    int m_columns = 0;
    int m_bound = 0;
    long m_rows = 0;
};

// ---------------------------------------------------------------------------------------------
// The POS program's tables, as it creates them.

constexpr const char* kRestaurantSchema = R"sql(
CREATE TABLE PE (            -- sale header
  PE_ID      TEXT PRIMARY KEY, -- sale identifier, digits only, e.g. '2412050001'
  PE_DATE    TEXT,           -- business date
  CT_CODE    TEXT,           -- customer code (NULL: no customer)
  CT_NAME    TEXT,
  PE_AMT     NUMERIC,        -- supply amount
  PE_VAT     NUMERIC,        -- tax
  PE_TOT     NUMERIC,        -- total
  PE_DAMT    NUMERIC,        -- discount amount
  PE_RPOINT  NUMERIC,
  PE_DPOINT  NUMERIC,
  PE_SD      INTEGER,        -- 7 = sent; NULL or other = unsent
  PE_SDATE   TEXT,           -- start date-time
  PE_EDATE   TEXT,           -- end date (the daily filter reads it)
  PE_NTBID   TEXT,           -- table id
  PE_PSN     INTEGER,        -- guests
  PE_BAMT    NUMERIC,        -- amount before discount
  PE_SVC     NUMERIC,        -- service charge
  PE_TIP     NUMERIC,
  PE_MEMCODE TEXT,           -- member code
  PE_CK      INTEGER         -- Yes/No: closed sale
);

CREATE TABLE AC (            -- accounting entries of a sale
  PE_ID     TEXT,
  AC_NO     INTEGER,
  AC_PDATE  TEXT,
  AC_SDATE  TEXT,
  AC_CTCODE TEXT,
  AC_CTNAME TEXT,
  AC_FNCD1  TEXT,            -- account: '111010' cash, '111055' card, '111050' receivable, ...
  AC_FNCD2  TEXT,            -- sub-account
  AC_AMT    NUMERIC,
  AC_DC     TEXT,            -- 'D' debit / 'C' credit
  AC_REM1   TEXT,
  AC_REM2   TEXT,
  AC_REM3   TEXT,
  AC_REM4   TEXT,
  AC_UCODE  TEXT,            -- user (cashier) code
  AC_GU     TEXT
);

CREATE TABLE PS (            -- sale lines
  PE_ID     TEXT,
  PS_NO     INTEGER,
  PS_DATE   TEXT,
  PS_PRNAME TEXT,
  PS_UP     NUMERIC,         -- unit price
  PS_QTY    NUMERIC,
  PS_AMT    NUMERIC,
  PS_VAT    NUMERIC,
  PS_PRCODE TEXT,
  PS_TYPE   TEXT,
  PS_DC     NUMERIC          -- line discount
);

CREATE TABLE PR (            -- products
  PR_CODE TEXT PRIMARY KEY,
  PR_NAME TEXT,
  PR_TAX  TEXT,
  PR_COST NUMERIC
);

CREATE TABLE CREDIT (        -- card approvals
  AC_ID     TEXT,
  AC_BILLNO TEXT,
  CD_DATE   TEXT,
  CD_GU     TEXT,
  CD_NO     TEXT,            -- card number, may hold '=' and track data after it
  CD_MONTH  TEXT,
  CD_NAME   TEXT,
  CD_CTNAME TEXT,
  CD_INS    TEXT,
  CD_AMT    NUMERIC,
  CD_CTNO   TEXT,
  CD_APRNO  TEXT,            -- approval number
  CD_SD     INTEGER DEFAULT 0 -- 7 = sent
);

CREATE TABLE DELIVERY (      -- delivery address of a sale
  PE_ID   TEXT,
  D_CODE  TEXT,
  D_NAME  TEXT,
  D_TEL   TEXT,
  D_RNAME TEXT,
  D_RTEL  TEXT,
  D_ZIP   TEXT,
  D_ADDR1 TEXT,
  D_ADDR2 TEXT,
  D_MEMO  TEXT
);

CREATE TABLE PSN (           -- guest counts of a sale
  PE_ID      TEXT,
  PSN_MAN    INTEGER,
  PSN_WOMAN  INTEGER,
  PSN_PGRADE TEXT
);

CREATE TABLE CF (            -- the POS program's own settings
  CF_PART     TEXT,
  CF_IDX      INTEGER,
  CF_CONTENTS TEXT
);
)sql";

constexpr const char* kRetailSchema = R"sql(
CREATE TABLE SL (            -- sale header
  SL_ID        INTEGER PRIMARY KEY,
  SL_DATE      TEXT,
  SL_MEMNO     TEXT,         -- member number; blank: no member
  SL_MEMNAME   TEXT,
  SL_SALEAMT   NUMERIC,
  SL_TAX       NUMERIC,
  SL_SUBTOTE   NUMERIC,
  SL_MISU      NUMERIC,      -- receivable
  SL_CASH      NUMERIC,
  SL_CARD      NUMERIC,
  SL_SAVEAMT   NUMERIC,
  SL_MEMCPOINT NUMERIC,
  SL_UCODE     TEXT,
  SL_NO        INTEGER,
  SL_PAYAMT    NUMERIC,
  SL_CHANGE    NUMERIC,
  SL_MEMRPOINT NUMERIC,
  SL_APRNO     TEXT,
  SL_CARDNO    TEXT,
  SL_CARDNAME  TEXT,         -- 'ISSUER/ACQUIRER' or a single name
  SL_SND       INTEGER,      -- 7 = sent; NULL or other = unsent
  SL_UPOINT    NUMERIC       -- points used
);

CREATE TABLE SSL (           -- sale lines
  SL_ID     INTEGER,
  SSL_NO    INTEGER,
  SSL_DATE  TEXT,
  SSL_POS   TEXT,            -- item position, joins MENU.MENU_POS
  SSL_MENU  TEXT,
  SSL_UNIT  TEXT,
  SSL_PRICE NUMERIC,
  SSL_QTY   NUMERIC,
  SSL_AMT   NUMERIC,
  SSL_VAT   NUMERIC,
  SSL_INAMT NUMERIC,
  SSL_GU    INTEGER
);

CREATE TABLE MENU (          -- item master
  MENU_POS  TEXT PRIMARY KEY,
  MENU_CODE TEXT,
  MENU_NAME TEXT,
  MENU_CK   TEXT
);

CREATE TABLE CREDIT (        -- card approvals
  C_SLID     INTEGER,
  C_DATE     TEXT,
  C_SLTBID   TEXT,
  C_SLNO     INTEGER,
  C_GU       TEXT,
  C_CARD     NUMERIC,        -- amount
  C_CARDNAME TEXT,
  C_CARDNO   TEXT,
  C_CARDMN   TEXT,
  C_APRNO    TEXT,
  C_UCODE    TEXT,
  C_UNAME    TEXT,
  C_SND      INTEGER DEFAULT 0 -- 7 = sent
);

CREATE TABLE DELSSL (        -- deleted sale lines
  DEL_DATE  TEXT,
  DEL_POS   TEXT,
  DEL_MENU  TEXT,
  DEL_UNIT  TEXT,
  DEL_PRICE NUMERIC,
  DEL_QTY   NUMERIC,
  DEL_AMT   NUMERIC,
  DEL_NO    TEXT,
  DEL_ID    INTEGER
);
)sql";

constexpr const char* kConfigSchema = R"sql(
CREATE TABLE CF (
  CF_PART     TEXT,
  CF_IDX      INTEGER,
  CF_CONTENTS TEXT
);
)sql";

// The statements of the start-up schema upgrade, as the program sends them.
constexpr const char* kRestaurantUpgrade[] = {
    "ALTER TABLE PSN ADD COLUMN PSN_ETC INTEGER ",
    " ALTER TABLE PE ADD PE_BAN TEXT(1) ",
};
constexpr const char* kRetailUpgrade[] = {
    "ALTER TABLE SL ADD COLUMN SL_EDATE TEXT(10) ",
    "ALTER TABLE SL ADD COLUMN SL_UPTRANSNO TEXT(18) ",
    "CREATE TABLE BAS ( BAS_CODE   TEXT(6)  PRIMARY KEY ,"
    "  BS_NAME1   TEXT(26) NOT NULL ,"
    "  BS_NAME2   TEXT(26) NOT NULL , "
    "  BS_M1      TEXT(128)         , "
    "  BS_M2      TEXT(30)          , "
    "  BS_M3      TEXT(20)          , "
    "  BS_M4      TEXT(12)        ) ",
    "ALTER TABLE DELSSL ADD COLUMN DEL_SD TEXT(1) ",
};

// Access indexes fields named *ID* or *code* by itself when the POS program creates its tables,
// and the engines' joins and per-sale filters lean on that; we mirror it on the join keys.
constexpr const char* kRestaurantIndexes =
    "CREATE INDEX AC_PE_ID ON AC (PE_ID);"
    "CREATE INDEX PS_PE_ID ON PS (PE_ID);"
    "CREATE INDEX PSN_PE_ID ON PSN (PE_ID);"
    "CREATE INDEX DELIVERY_PE_ID ON DELIVERY (PE_ID);";
constexpr const char* kRetailIndexes = "CREATE INDEX SSL_SL_ID ON SSL (SL_ID);";

// ---------------------------------------------------------------------------------------------
// Catalogues. Fixed lists, not drawn from the seed, so that every demo shop sells the same
// things.

struct CatalogItem {
    const char* name;
    long price;
};

constexpr CatalogItem kDishes[] = {
    {"김치찌개", 8000},    {"된장찌개", 8000},  {"순두부찌개", 8500},    {"부대찌개", 9500},
    {"청국장", 8500},      {"동태찌개", 9000},  {"갈비탕", 12000},       {"설렁탕", 10000},
    {"곰탕", 10000},       {"육개장", 9500},    {"해장국", 9000},        {"감자탕", 9000},
    {"삼계탕", 15000},     {"비빔밥", 9000},    {"돌솥비빔밥", 10000},   {"제육볶음", 9000},
    {"오징어볶음", 10000}, {"불고기", 12000},   {"뚝배기불고기", 10000}, {"김치볶음밥", 8000},
    {"새우볶음밥", 9000},  {"잔치국수", 7000},  {"비빔국수", 7500},      {"물냉면", 9000},
    {"비빔냉면", 9000},    {"칼국수", 8000},    {"수제비", 8000},        {"만두국", 8500},
    {"떡국", 8000},        {"떡볶이", 5000},    {"순대", 5000},          {"모둠튀김", 5000},
    {"김밥", 3500},        {"참치김밥", 4500},  {"라면", 4500},          {"치즈라면", 5500},
    {"삼겹살", 15000},     {"목살", 15000},     {"항정살", 17000},       {"소갈비", 28000},
    {"돼지갈비", 16000},   {"닭갈비", 14000},   {"보쌈", 30000},         {"족발", 32000},
    {"수육", 25000},       {"파전", 14000},     {"해물파전", 16000},     {"김치전", 12000},
    {"계란말이", 9000},    {"두부김치", 13000}, {"골뱅이무침", 18000},   {"닭볶음탕", 25000},
    {"아구찜", 40000},     {"오뎅탕", 15000},   {"공기밥", 1000},        {"계란찜", 4000},
    {"된장국", 2000},      {"누룽지", 3000},    {"소주", 5000},          {"맥주", 5000},
    {"막걸리", 5000},      {"생맥주", 4500},    {"청주", 9000},          {"매실주", 9000},
    {"콜라", 2000},        {"사이다", 2000},    {"생수", 1000},          {"식혜", 2000},
};

// Size and style variants that fill the product table up to its size.
struct Variant {
    const char* prefix;
    const char* suffix;
    int pricePercent;
};
constexpr Variant kDishVariants[] = {
    {"", "", 100}, {"", "(대)", 150}, {"특", "", 130}, {"", "(포장)", 100}, {"", "(소)", 70},
};

struct RetailItem {
    const char* name;
    const char* unit;
    long price;
    bool taxable;
    bool byWeight;
};

constexpr RetailItem kGroceries[] = {
    {"생수 2L", "병", 1200, true, false},
    {"우유 1L", "팩", 2800, false, false},
    {"두부", "모", 1500, false, false},
    {"계란 30구", "판", 7900, false, false},
    {"식빵", "봉", 3200, true, false},
    {"라면 5입", "봉", 4200, true, false},
    {"즉석밥", "개", 1500, true, false},
    {"조미김 10봉", "봉", 5000, true, false},
    {"콜라 1.5L", "병", 2800, true, false},
    {"사이다 1.5L", "병", 2600, true, false},
    {"커피믹스 100입", "박스", 15000, true, false},
    {"설탕 1kg", "봉", 2500, true, false},
    {"천일염", "봉", 2000, false, false},
    {"간장", "병", 5500, true, false},
    {"식용유", "병", 6800, true, false},
    {"참기름", "병", 8900, true, false},
    {"고추장", "통", 9800, true, false},
    {"된장", "통", 7800, true, false},
    {"밀가루", "봉", 2900, false, false},
    {"화장지 30롤", "팩", 19800, true, false},
    {"세탁세제", "통", 12000, true, false},
    {"샴푸", "병", 9900, true, false},
    {"치약", "개", 3500, true, false},
    {"칫솔", "개", 2000, true, false},
    {"건전지", "팩", 5000, true, false},
    {"맥주 캔", "캔", 2500, true, false},
    {"소주", "병", 1950, true, false},
    {"감자칩", "봉", 1500, true, false},
    {"아이스크림", "개", 1000, true, false},
    {"요구르트", "팩", 2500, true, false},
    {"슬라이스치즈", "팩", 4500, true, false},
    {"햄", "개", 3900, true, false},
    {"참치캔", "캔", 2800, true, false},
    {"쌀 10kg", "포", 32000, false, false},
    {"배추", "포기", 4000, false, false},
    {"무", "개", 2000, false, false},
    {"당근", "개", 1000, false, false},
    {"대파", "단", 2500, false, false},
    {"깐마늘", "봉", 5000, false, false},
    {"고등어", "손", 6000, false, false},
    {"두유", "팩", 1000, true, false},
    {"오렌지주스 1L", "병", 3500, true, false},
    {"녹차 티백", "박스", 5000, true, false},
    {"캔커피", "캔", 1200, true, false},
    {"초콜릿", "개", 1500, true, false},
    {"껌", "개", 1000, true, false},
    {"사탕", "봉", 2000, true, false},
    {"어묵", "봉", 3000, true, false},
    {"냉동만두", "봉", 6900, true, false},
    {"비누", "개", 1500, true, false},
    {"고무장갑", "개", 2500, true, false},
    {"종량제봉투", "묶음", 5000, true, false},
    {"키친타올", "팩", 6500, true, false},
    {"위생랩", "개", 3000, true, false},
    {"종이컵", "봉", 2000, true, false},
    {"돼지고기 삼겹살", "kg", 25000, false, true},
    {"소고기 등심", "kg", 60000, false, true},
    {"바나나", "kg", 4000, false, true},
    {"감자", "kg", 3000, false, true},
    {"양파", "kg", 2500, false, true},
    {"사과", "kg", 9000, false, true},
    {"귤", "kg", 6000, false, true},
};
constexpr Variant kGroceryVariants[] = {
    {"", "", 100},     {"", " 대용량", 180}, {"국산 ", "", 130},
    {"", " 2+1", 200}, {"유기농 ", "", 150},
};

constexpr const char* kSurnames[] = {"김", "이", "박", "최", "정", "강", "조", "윤", "장", "임"};
constexpr const char* kGiven1[] = {"민", "서", "지", "현", "준", "도", "하", "수",
                                   "영", "은", "재", "성", "유", "예", "진"};
constexpr const char* kGiven2[] = {"준", "우", "연", "윤", "호", "민", "아", "희",
                                   "빈", "원", "석", "훈", "진", "경", "혁"};
constexpr const char* kFirmPrefixes[] = {"한빛", "대성", "새솔", "푸른", "동방",
                                         "미래", "신성", "우리", "태양", "금강"};
constexpr const char* kFirmSuffixes[] = {"상사", "건설", "물산", "산업", "기획", "유통", "테크"};
constexpr const char* kDistricts[] = {"서울시 마포구",        "서울시 송파구", "서울시 관악구",
                                      "경기도 성남시 분당구", "인천시 남동구", "부산시 해운대구"};
constexpr const char* kStreets[] = {"중앙로", "시장길", "역전로", "문화로", "공원로", "새마을로"};
constexpr const char* kDeliveryMemos[] = {"문 앞에 놓아주세요", "벨 누르지 마세요", "수저 빼주세요",
                                          "도착 전에 전화주세요"};

struct CardCompany {
    const char* name;
    const char* code;
    const char* bin;  // first six digits of its (made-up) card numbers
};
constexpr CardCompany kCards[] = {
    {"신한", "01", "941012"}, {"국민", "02", "942231"}, {"비씨", "03", "943355"},
    {"삼성", "04", "944810"}, {"현대", "05", "945127"}, {"롯데", "06", "946603"},
    {"하나", "07", "947719"}, {"농협", "08", "948842"},
};

struct Person {
    std::string code;
    std::string name;
    std::optional<std::string> memberCode;
};

// Draws happen in separate statements throughout: the operands of + are evaluated in no fixed
// order, and the same seed must give the same names on every compiler.
std::string personName(Random& rng) {
    std::string name = rng.pick(kSurnames);
    name += rng.pick(kGiven1);
    name += rng.pick(kGiven2);
    return name;
}

std::string firmName(Random& rng) {
    std::string name = rng.pick(kFirmPrefixes);
    name += rng.pick(kFirmSuffixes);
    return name;
}

std::vector<Person> makeCashiers(Random& rng) {
    std::vector<Person> cashiers;
    for (int i = 1; i <= 4; ++i) {
        cashiers.push_back({digits(i, 4), personName(rng), std::nullopt});
    }
    return cashiers;
}

// ---------------------------------------------------------------------------------------------
// When the sales happen: how many on each day, and at what times.

struct ShopDay {
    Date date;
    long sales;
    long opens;   // second of the day of the first sale
    long closes;  // no sale starts at or after this second
};

std::vector<ShopDay> planDays(Random& rng, const DemoDbOptions& o, long opens, long closes) {
    const std::int64_t last = daysFromCivil(o.today.year, o.today.month, o.today.day);
    const std::int64_t first = last - (o.days - 1);
    std::vector<std::int64_t> weight(o.days);
    std::int64_t total = 0;
    for (int i = 0; i < o.days; ++i) {
        const int wd = weekday(first + i);
        weight[i] = rng.between(70, 130) + (wd == 5 || wd == 6 ? 30 : wd == 0 ? 10 : 0);
        total += weight[i];
    }
    std::vector<ShopDay> days(o.days);
    long placed = 0;
    for (int i = 0; i < o.days; ++i) {
        const long n = std::min<long>(kMaxSalesPerDay, o.sales * weight[i] / total);
        days[i] = {civilFromDays(first + i), n, opens, closes};
        placed += n;
    }
    // The remainder goes to random days with room left.
    for (; placed < o.sales; ++placed) {
        std::size_t i = rng.below(days.size());
        while (days[i].sales >= kMaxSalesPerDay) {
            i = (i + 1) % days.size();
        }
        ++days[i].sales;
    }
    // Today's sales lie before the time the file is made.
    const long now = o.today.hour * 3600L + o.today.minute * 60L + o.today.second;
    days.back().closes = std::clamp(now, opens + 1800, closes);
    return days;
}

// Ascending start times of the day's sales, spread over its opening hours.
long saleTime(Random& rng, const ShopDay& day, long index) {
    const std::int64_t span = day.closes - day.opens;
    const std::int64_t slot = std::max<std::int64_t>(1, span / day.sales);
    return static_cast<long>(
        day.opens + span * index / day.sales +
        static_cast<std::int64_t>(rng.below(static_cast<std::uint64_t>(slot))));
}

std::string yymmdd(const Date& d) {
    return digits(d.year % 100, 2) + digits(d.month, 2) + digits(d.day, 2);
}

std::string yyyymmdd(const Date& d) {
    return digits(d.year, 4) + digits(d.month, 2) + digits(d.day, 2);
}

struct CardSwipe {
    const CardCompany* issuer;
    const CardCompany* acquirer;
    std::string number;  // 16 digits
    std::string expiry;  // YYMM
    std::string approval;
};

CardSwipe swipeCard(Random& rng, const Date& saleDate) {
    CardSwipe c;
    c.issuer = &rng.pick(kCards);
    // Approvals are bought by the issuer itself or, for many bank cards, by the BC network.
    c.acquirer = rng.percent(55) ? c.issuer : &kCards[2];
    c.number = std::string(c.issuer->bin) + digits(rng.between(0, 9999999999L), 10);
    c.expiry = digits((saleDate.year + rng.between(1, 5)) % 100, 2);
    c.expiry += digits(rng.between(1, 12), 2);
    c.approval = digits(rng.between(0, 99999999), 8);
    return c;
}

std::string installments(Random& rng, std::int64_t amount) {
    if (amount >= 50000 && rng.percent(20)) {
        static constexpr const char* kMonths[] = {"02", "03", "06"};
        return rng.pick(kMonths);
    }
    return "00";
}

// ---------------------------------------------------------------------------------------------
// Restaurant (FOOD.MDB).

struct Product {
    std::string code;
    std::string name;
    long price;
};

class RestaurantWriter {
public:
    RestaurantWriter(Database& db, const DemoDbOptions& o)
        : m_options(o),
          m_rng(o.seed),
          m_upgraded(!o.preUpgrade),
          m_pe(db, "PE", peColumns(m_upgraded)),
          m_ac(db, "AC",
               {"PE_ID", "AC_NO", "AC_PDATE", "AC_SDATE", "AC_CTCODE", "AC_CTNAME", "AC_FNCD1",
                "AC_FNCD2", "AC_AMT", "AC_DC", "AC_REM1", "AC_REM2", "AC_REM3", "AC_REM4",
                "AC_UCODE", "AC_GU"}),
          m_ps(db, "PS",
               {"PE_ID", "PS_NO", "PS_DATE", "PS_PRNAME", "PS_UP", "PS_QTY", "PS_AMT", "PS_VAT",
                "PS_PRCODE", "PS_TYPE", "PS_DC"}),
          m_pr(db, "PR", {"PR_CODE", "PR_NAME", "PR_TAX", "PR_COST"}),
          m_credit(db, "CREDIT",
                   {"AC_ID", "AC_BILLNO", "CD_DATE", "CD_GU", "CD_NO", "CD_MONTH", "CD_NAME",
                    "CD_CTNAME", "CD_INS", "CD_AMT", "CD_CTNO", "CD_APRNO", "CD_SD"}),
          m_delivery(db, "DELIVERY",
                     {"PE_ID", "D_CODE", "D_NAME", "D_TEL", "D_RNAME", "D_RTEL", "D_ZIP", "D_ADDR1",
                      "D_ADDR2", "D_MEMO"}),
          m_psn(db, "PSN", psnColumns(m_upgraded)),
          m_cf(db, "CF", {"CF_PART", "CF_IDX", "CF_CONTENTS"}) {}

    void write() {
        writeProducts();
        writeSettings();
        m_cashiers = makeCashiers(m_rng);
        makeCustomers();
        for (const ShopDay& day : planDays(m_rng, m_options, 11 * 3600L, 22 * 3600L)) {
            for (long i = 0; i < day.sales; ++i) {
                writeSale(day, i);
            }
        }
    }

    std::vector<TableRows> counts() const {
        std::vector<TableRows> rows;
        for (const Insert* t :
             {&m_pe, &m_ac, &m_ps, &m_pr, &m_credit, &m_delivery, &m_psn, &m_cf}) {
            rows.push_back({t->table(), t->rows()});
        }
        return rows;
    }

private:
    struct Payment {
        const char* account;
        std::optional<std::string> subAccount;
        std::int64_t amount;
        const char* side;  // "D" debit, "C" credit
        const char* kind;  // AC_GU
        std::optional<std::string> remark1, remark2, remark3;
        std::optional<CardSwipe> card;
    };

    static std::vector<std::string_view> peColumns(bool upgraded) {
        std::vector<std::string_view> c = {
            "PE_ID",   "PE_DATE",   "CT_CODE",   "CT_NAME", "PE_AMT",     "PE_VAT",   "PE_TOT",
            "PE_DAMT", "PE_RPOINT", "PE_DPOINT", "PE_SD",   "PE_SDATE",   "PE_EDATE", "PE_NTBID",
            "PE_PSN",  "PE_BAMT",   "PE_SVC",    "PE_TIP",  "PE_MEMCODE", "PE_CK"};
        if (upgraded) {
            c.push_back("PE_BAN");
        }
        return c;
    }
    static std::vector<std::string_view> psnColumns(bool upgraded) {
        std::vector<std::string_view> c = {"PE_ID", "PSN_MAN", "PSN_WOMAN", "PSN_PGRADE"};
        if (upgraded) {
            c.push_back("PSN_ETC");
        }
        return c;
    }

    void writeProducts() {
        constexpr std::size_t kProducts = 200;
        for (const Variant& v : kDishVariants) {
            for (const CatalogItem& dish : kDishes) {
                if (m_products.size() == kProducts) {
                    return;
                }
                // Prices stay on 500 won steps, so half portions are whole won.
                const long price = (dish.price * v.pricePercent / 100 + 250) / 500 * 500;
                const std::size_t n = m_products.size();
                Product p{digits(100001 + static_cast<long>(n), 6),
                          std::string(v.prefix) + dish.name + v.suffix, price};
                const long costPercent = 30 + static_cast<long>(n * 7 % 16);
                m_pr.text(p.code).text(p.name).text("1");
                m_pr.integer(price * costPercent / 100 / 10 * 10).insert();
                m_products.push_back(std::move(p));
            }
        }
    }

    void writeSettings() {
        m_cf.text("영업3").integer(12).text("1").insert();
        m_cf.text("영업4").integer(3).text("0").insert();
        m_cf.text("POS").integer(3).text("0").insert();
    }

    void makeCustomers() {
        for (int i = 0; i < 300; ++i) {
            Person c;
            c.code = digits(10001 + i, 5);
            c.name = m_rng.percent(30) ? firmName(m_rng) : personName(m_rng);
            if (m_rng.percent(60)) {
                c.memberCode = digits(20000000 + i * 37, 8);
            }
            m_customers.push_back(std::move(c));
        }
    }

    const Product& pickProduct() {
        // The plain dishes sell far more than their variants.
        if (m_rng.percent(70)) {
            return m_products[m_rng.below(
                std::min<std::size_t>(std::size(kDishes), m_products.size()))];
        }
        return m_rng.pick(m_products);
    }

    struct Line {
        const Product* product;
        long halves;  // quantity in half portions
        Money gross;
        Money vat;
        bool complimentary;
    };

    void writeSale(const ShopDay& day, long index) {
        const std::string id = yymmdd(day.date) + digits(index + 1, 4);
        const std::string date = dateText(day.date);
        const long starts = saleTime(m_rng, day, index);
        const long ends = std::min(starts + m_rng.between(15, 120) * 60, 86399L);
        const std::string endText = dateTimeText(day.date, ends);
        const Person* customer = m_rng.percent(25) ? &m_rng.pick(m_customers) : nullptr;
        const Person& cashier = m_rng.pick(m_cashiers);
        const bool delivered = m_rng.percent(20);
        // An open sale (table still seated) is not settled yet: no end time, no payments.
        const bool closed = !m_rng.percent(2);
        long guests = 1;
        if (!delivered) {
            guests = m_rng.between(1, 3);
            guests += m_rng.between(0, 3);
        }

        // Complimentary items (type SS01) are listed at their price but not charged: the POS keeps
        // their value as the service amount, so that the total is PE_BAMT - PE_SVC - PE_DAMT.
        std::vector<Line> lines(1 + m_rng.below(3));
        lines.resize(lines.size() + m_rng.below(4));
        std::int64_t before = 0;
        std::int64_t service = 0;
        for (std::size_t n = 0; n < lines.size(); ++n) {
            Line& l = lines[n];
            l.product = &pickProduct();
            l.halves = m_rng.percent(1) ? 1 : 2 * (m_rng.percent(75) ? 1 : m_rng.between(2, 3));
            l.gross = {l.product->price * l.halves * 50};
            l.vat = vatOf(l.gross, m_rng.percent(1));
            l.complimentary = n > 0 && m_rng.percent(3);
            before += l.gross.hundredths / 100;
            if (l.complimentary) {
                service += l.gross.hundredths / 100;
            }
        }
        const std::int64_t charged = before - service;
        std::int64_t discount = 0;
        if (charged >= 5000 && m_rng.percent(10)) {
            discount = m_rng.percent(50) ? charged * m_rng.between(1, 3) * 5 / 100 / 100 * 100
                                         : m_rng.between(1, 3) * 1000;
            discount = std::min(discount, charged - 1000);
        }
        // Some POS versions also show the discount on the first charged line.
        const bool discountOnLine = discount > 0 && m_rng.percent(50);
        bool discountShown = false;
        for (std::size_t n = 0; n < lines.size(); ++n) {
            const Line& l = lines[n];
            m_ps.text(id).integer(static_cast<long>(n) + 1).text(date).text(l.product->name);
            m_ps.integer(l.product->price);
            if (l.halves % 2) {
                m_ps.money({l.halves * 50});
            } else {
                m_ps.integer(l.halves / 2);
            }
            m_ps.money({l.gross.hundredths - l.vat.hundredths}).money(l.vat).text(l.product->code);
            // The POS program types every line: SS00 an ordinary item, SS01 a complimentary one.
            if (l.complimentary) {
                m_ps.text("SS01").null();
            } else if (discountOnLine && !discountShown) {
                m_ps.text("SS00").integer(discount);
                discountShown = true;
            } else {
                m_ps.text("SS00");
                m_rng.percent(85) ? m_ps.null() : m_ps.integer(0);
            }
            m_ps.insert();
        }

        const std::int64_t total = charged - discount;
        const Money vat = vatOf(won(total), m_rng.percent(1));
        const std::int64_t tip = m_rng.percent(1) ? m_rng.between(1, 5) * 1000 : 0;
        std::vector<Payment> payments;
        if (closed) {
            payments = choosePayments(total + tip, customer, day.date);
        }
        std::int64_t pointsUsed = 0;
        for (const Payment& p : payments) {
            if (std::string_view(p.account) == "211021") {
                pointsUsed += p.amount;
            }
        }
        const std::int64_t pointsEarned = customer && closed ? total / 100 : 0;

        m_pe.text(id).text(date);
        if (customer) {
            m_pe.text(customer->code).text(customer->name);
        } else {
            m_pe.null().null();
        }
        m_pe.money({won(total).hundredths - vat.hundredths}).money(vat).integer(total);
        m_pe.integer(discount).integer(pointsEarned).integer(pointsUsed);
        m_rng.percent(80) ? m_pe.null() : m_pe.integer(0);
        m_pe.text(dateTimeText(day.date, starts));
        closed ? m_pe.text(endText) : m_pe.null();
        m_pe.text(delivered ? "D" + digits(m_rng.between(1, 9), 2)
                            : digits(m_rng.between(1, 24), 2));
        m_pe.integer(guests).integer(before).integer(service).integer(tip);
        m_pe.maybeText(customer ? customer->memberCode : std::nullopt);
        m_pe.integer(closed ? -1 : 0);
        if (m_upgraded) {
            m_rng.percent(3) ? m_pe.text("1") : m_pe.null();
        }
        m_pe.insert();

        writeAccounts(id, date, endText, customer, cashier, payments, total);

        if (m_rng.percent(60)) {
            const long men = m_rng.between(0, guests);
            m_psn.text(id).integer(men).integer(guests - men);
            m_psn.text(digits(m_rng.between(1, 6) * 10, 2));  // age group
            if (m_upgraded) {
                const auto r = m_rng.below(100);
                r < 70 ? m_psn.null() : r < 95 ? m_psn.integer(0) : m_psn.integer(guests);
            }
            m_psn.insert();
        }
        if (delivered) {
            writeDelivery(id, customer);
        }
    }

    std::vector<Payment> choosePayments(std::int64_t due, const Person* customer,
                                        const Date& date) {
        std::vector<Payment> p;
        auto cash = [&](std::int64_t amount) {
            p.push_back({"111010",
                         m_rng.percent(5) ? std::nullopt : std::optional<std::string>("00"),
                         amount,
                         "D",
                         "AC11",
                         {},
                         {},
                         {},
                         {}});
        };
        auto card = [&](std::int64_t amount) {
            CardSwipe c = swipeCard(m_rng, date);
            p.push_back(
                {"111055", c.issuer->code, amount, "D", "AC12",
                 std::string(c.issuer->name) + "카드", c.approval,
                 m_rng.percent(50) ? std::optional<std::string>() : installments(m_rng, amount),
                 c});
        };
        auto cashOrCard = [&](std::int64_t amount) {
            m_rng.percent(40) ? cash(amount) : card(amount);
        };

        const auto r = m_rng.below(100);
        if (customer && r < 20) {
            p.push_back({"111050", "00", due, "D", "AC13", {}, {}, {}, {}});
        } else if (customer && r < 25) {
            p.push_back({"211060", "00", due, "D", "AC16", {}, {}, {}, {}});
        } else if (customer && r < 45 && due >= 2000) {
            const std::int64_t points =
                std::min<std::int64_t>(due - 1000, m_rng.between(1, 5) * 1000);
            p.push_back({"211021", "00", points, "D", "AC14", {}, {}, {}, {}});
            cashOrCard(due - points);
        } else if (r < 50 || due < 2000) {
            cash(due);
        } else if (r < 90) {
            card(due);
        } else if (r < 96) {
            const std::int64_t part = m_rng.between(1, due / 1000 - 1) * 1000;
            cash(part);
            card(due - part);
        } else {
            // Gift vouchers of 10,000 won; sub-account 01 is the shop's own voucher.
            const std::int64_t vouchers = std::min<std::int64_t>(due, 10000 * m_rng.between(1, 3));
            p.push_back({"111030",
                         m_rng.percent(80) ? "01" : "02",
                         vouchers,
                         "D",
                         "AC15",
                         "상품권",
                         "GV" + digits(m_rng.between(0, 99999999), 8),
                         {},
                         {}});
            if (due > vouchers) {
                cashOrCard(due - vouchers);
            }
        }
        return p;
    }

    void writeAccounts(const std::string& id, const std::string& date, const std::string& when,
                       const Person* customer, const Person& cashier,
                       const std::vector<Payment>& payments, std::int64_t total) {
        long no = 0;
        long bill = 0;
        auto entry = [&](const Payment& p) {
            m_ac.text(id).integer(++no).text(date).text(when);
            if (customer) {
                m_ac.text(customer->code).text(customer->name);
            } else {
                m_ac.null().null();
            }
            m_ac.text(p.account).maybeText(p.subAccount).integer(p.amount).text(p.side);
            m_ac.maybeText(p.remark1).maybeText(p.remark2).maybeText(p.remark3).null();
            m_ac.text(cashier.code).text(p.kind).insert();
        };
        for (const Payment& p : payments) {
            const bool isCash = std::string_view(p.account) == "111010";
            if (isCash && p.amount % 10000 != 0 && m_rng.percent(35)) {
                // Cash handed over in notes: the change goes back as a credit entry.
                Payment tendered = p;
                tendered.amount = (p.amount / 10000 + 1) * 10000;
                entry(tendered);
                Payment change = p;
                change.amount = tendered.amount - p.amount;
                change.side = "C";
                entry(change);
                continue;
            }
            entry(p);
            if (p.card) {
                writeCardApproval(id, ++bill, date, *p.card, p.amount, p.remark3);
            }
        }
        if (!payments.empty() && m_rng.percent(5)) {
            // The sales revenue side of the sale, which the POS books under AC73.
            entry({"401010", "00", total, "C", "AC73", {}, {}, {}, {}});
        }
    }

    void writeCardApproval(const std::string& id, long bill, const std::string& date,
                           const CardSwipe& c, std::int64_t amount,
                           const std::optional<std::string>& months) {
        // Swiped cards keep the track data after '='; keyed-in numbers have none.
        const std::string number =
            m_rng.percent(85) ? c.number + "=" + c.expiry + digits(m_rng.between(100, 199), 3)
                              : c.number;
        m_credit.text(id).text(digits(bill, 2)).text(date).text("1").text(number);
        m_credit.text(months.value_or("00"));
        m_credit.text(std::string(c.issuer->name) + "카드")
            .text(std::string(c.acquirer->name) + "카드");
        m_credit.text(c.acquirer->code).integer(amount);
        m_credit.text("0091" + digits(std::atoi(c.acquirer->code) * 1111, 4)).text(c.approval);
        m_credit.integer(0).insert();
    }

    void writeDelivery(const std::string& id, const Person* customer) {
        auto maybe = [&](int percentPresent, std::string value) {
            return m_rng.percent(percentPresent) ? std::optional<std::string>(std::move(value))
                                                 : std::nullopt;
        };
        const std::string orderer = customer ? customer->name : personName(m_rng);
        m_delivery.text(id).text("D" + digits(m_rng.between(1, 99999), 6)).text(orderer);
        m_delivery.text(phoneNumber());
        m_delivery.maybeText(maybe(60, personName(m_rng)));
        m_delivery.maybeText(maybe(60, phoneNumber()));
        m_delivery.maybeText(maybe(80, digits(m_rng.between(1000, 63999), 5)));
        std::string street = m_rng.pick(kDistricts);
        street += " ";
        street += m_rng.pick(kStreets);
        street += " " + std::to_string(m_rng.between(1, 300));
        m_delivery.text(street);
        std::string flat = std::to_string(m_rng.between(101, 112)) + "동 ";
        flat += std::to_string(m_rng.between(1, 25));
        flat += digits(m_rng.between(1, 4), 2) + "호";
        m_delivery.maybeText(maybe(70, flat));
        m_delivery.maybeText(maybe(40, m_rng.pick(kDeliveryMemos)));
        m_delivery.insert();
    }

    // Numbers in the unassigned 010-0000 block, so that no real subscriber is listed.
    std::string phoneNumber() { return "010-0000-" + digits(m_rng.between(0, 9999), 4); }

    const DemoDbOptions& m_options;
    Random m_rng;
    bool m_upgraded;
    Insert m_pe, m_ac, m_ps, m_pr, m_credit, m_delivery, m_psn, m_cf;
    std::vector<Product> m_products;
    std::vector<Person> m_customers;
    std::vector<Person> m_cashiers;
};

// ---------------------------------------------------------------------------------------------
// Retail (POS.MDB).

struct MenuItem {
    std::string pos;
    std::string code;
    std::string name;
    std::string unit;
    long price;
    bool taxable;
    bool byWeight;
};

// In-store article numbers (prefix 20, reserved for a shop's own use) with their check digit.
std::string articleNumber(long n) {
    std::string code = "20" + digits(n, 10);
    int sum = 0;
    for (std::size_t i = 0; i < code.size(); ++i) {
        sum += (code[i] - '0') * (i % 2 ? 3 : 1);
    }
    return code + static_cast<char>('0' + (10 - sum % 10) % 10);
}

class RetailWriter {
public:
    RetailWriter(Database& db, const DemoDbOptions& o)
        : m_options(o),
          m_rng(o.seed),
          m_upgraded(!o.preUpgrade),
          m_sl(db, "SL", slColumns(m_upgraded)),
          m_ssl(db, "SSL",
                {"SL_ID", "SSL_NO", "SSL_DATE", "SSL_POS", "SSL_MENU", "SSL_UNIT", "SSL_PRICE",
                 "SSL_QTY", "SSL_AMT", "SSL_VAT", "SSL_INAMT", "SSL_GU"}),
          m_menu(db, "MENU", {"MENU_POS", "MENU_CODE", "MENU_NAME", "MENU_CK"}),
          m_credit(db, "CREDIT",
                   {"C_SLID", "C_DATE", "C_SLTBID", "C_SLNO", "C_GU", "C_CARD", "C_CARDNAME",
                    "C_CARDNO", "C_CARDMN", "C_APRNO", "C_UCODE", "C_UNAME", "C_SND"}),
          m_delssl(db, "DELSSL", delsslColumns(m_upgraded)) {
        if (m_upgraded) {
            m_bas = std::make_unique<Insert>(
                db, "BAS",
                std::vector<std::string_view>{"BAS_CODE", "BS_NAME1", "BS_NAME2", "BS_M1", "BS_M2",
                                              "BS_M3", "BS_M4"});
        }
    }

    void write() {
        writeMenu();
        if (m_bas) {
            // ZA20 0: points are not booked as an accounting entry of their own; ZA16 1: the
            // central service takes the transaction number without the trailing "Y".
            m_bas->text("ZA20").text("포인트결제").text("포인트 결제 회계 처리").text("0");
            m_bas->null().null().null().insert();
            m_bas->text("ZA16").text("거래번호").text("판매 거래번호 전송").text("1");
            m_bas->null().null().null().insert();
        }
        m_cashiers = makeCashiers(m_rng);
        for (int i = 0; i < 400; ++i) {
            m_members.push_back({"01" + digits(10000000 + i * 7919L % 90000000, 8),
                                 personName(m_rng), std::nullopt});
        }
        for (const ShopDay& day : planDays(m_rng, m_options, 8 * 3600L, 22 * 3600L)) {
            for (long i = 0; i < day.sales; ++i) {
                writeSale(day, i);
            }
        }
    }

    std::vector<TableRows> counts() const {
        std::vector<TableRows> rows;
        for (const Insert* t : {&m_sl, &m_ssl, &m_menu, &m_credit, &m_delssl}) {
            rows.push_back({t->table(), t->rows()});
        }
        if (m_bas) {
            rows.push_back({m_bas->table(), m_bas->rows()});
        }
        return rows;
    }

private:
    static std::vector<std::string_view> slColumns(bool upgraded) {
        std::vector<std::string_view> c = {
            "SL_ID",      "SL_DATE",     "SL_MEMNO",  "SL_MEMNAME", "SL_SALEAMT",   "SL_TAX",
            "SL_SUBTOTE", "SL_MISU",     "SL_CASH",   "SL_CARD",    "SL_SAVEAMT",   "SL_MEMCPOINT",
            "SL_UCODE",   "SL_NO",       "SL_PAYAMT", "SL_CHANGE",  "SL_MEMRPOINT", "SL_APRNO",
            "SL_CARDNO",  "SL_CARDNAME", "SL_SND",    "SL_UPOINT"};
        if (upgraded) {
            c.push_back("SL_EDATE");
            c.push_back("SL_UPTRANSNO");
        }
        return c;
    }
    static std::vector<std::string_view> delsslColumns(bool upgraded) {
        std::vector<std::string_view> c = {"DEL_DATE", "DEL_POS",   "DEL_MENU",
                                           "DEL_UNIT", "DEL_PRICE", "DEL_QTY",
                                           "DEL_AMT",  "DEL_NO",    "DEL_ID"};
        if (upgraded) {
            c.push_back("DEL_SD");
        }
        return c;
    }

    void writeMenu() {
        constexpr std::size_t kItems = 300;
        for (const Variant& v : kGroceryVariants) {
            for (const RetailItem& g : kGroceries) {
                if (m_menu.rows() == static_cast<long>(kItems)) {
                    break;
                }
                const long n = m_menu.rows() + 1;
                MenuItem item{digits(n, 4),
                              articleNumber(n),
                              std::string(v.prefix) + g.name + v.suffix,
                              g.unit,
                              (g.price * v.pricePercent / 100 + 50) / 100 * 100,
                              g.taxable,
                              g.byWeight};
                m_menu.text(item.pos).text(item.code).text(item.name).text(item.taxable ? "1"
                                                                                        : "0");
                m_menu.insert();
                m_items.push_back(std::move(item));
            }
        }
        m_discount = {
            std::string(kRetailDiscountPos), articleNumber(9999), "할인", "개", 0, true, false};
        m_menu.text(m_discount.pos).text(m_discount.code).text(m_discount.name).text("1").insert();
    }

    const MenuItem& pickItem() {
        if (m_rng.percent(60)) {
            return m_items[m_rng.below(
                std::min<std::size_t>(std::size(kGroceries), m_items.size()))];
        }
        return m_rng.pick(m_items);
    }

    struct LineTotals {
        std::int64_t gross = 0;  // won
        Money vat;
    };

    // Writes one line; quantities in thousandths so that weighed goods can have a fraction.
    void writeLine(std::int64_t id, long no, const std::string& date, const MenuItem& item,
                   long price, std::int64_t milli, LineTotals& totals) {
        const std::int64_t gross = roundDiv(price * milli, 1000);
        const Money vat = item.taxable ? vatOf(won(gross), m_rng.percent(1)) : Money{};
        m_ssl.integer(id).integer(no).text(date).text(item.pos).text(item.name).text(item.unit);
        m_ssl.integer(price);
        if (milli % 1000) {
            m_ssl.money({milli / 10});
        } else {
            m_ssl.integer(milli / 1000);
        }
        m_ssl.integer(gross).money(vat).integer(gross > 0 ? gross * m_rng.between(60, 80) / 100
                                                          : 0);
        m_ssl.integer(m_rng.percent(5) ? 1 : 0).insert();
        totals.gross += gross;
        totals.vat.hundredths += vat.hundredths;
    }

    void writeSale(const ShopDay& day, long index) {
        const std::int64_t id = ++m_lastId;
        const long no = index + 1;
        const std::string date = dateText(day.date);
        const long at = saleTime(m_rng, day, index);
        const Person* member = m_rng.percent(25) ? &m_rng.pick(m_members) : nullptr;
        const Person& cashier = m_rng.pick(m_cashiers);

        LineTotals totals;
        long lineCount = 1 + static_cast<long>(m_rng.below(4));
        lineCount += static_cast<long>(m_rng.below(5));
        for (long n = 1; n <= lineCount; ++n) {
            const MenuItem& item = pickItem();
            const std::int64_t milli = item.byWeight
                                           ? m_rng.between(20, 150) * 10
                                           : 1000 * (m_rng.percent(75) ? 1 : m_rng.between(2, 4));
            writeLine(id, n, date, item, item.price, milli, totals);
        }
        if (totals.gross >= 5000 && m_rng.percent(3)) {
            writeLine(id, lineCount + 1, date, m_discount, -100 * m_rng.between(5, 30), 1000,
                      totals);
        }
        if (m_rng.percent(5)) {
            // A line scanned and taken off again before payment.
            const MenuItem& item = pickItem();
            const std::int64_t qty = item.byWeight ? 1 : m_rng.between(1, 2);
            m_delssl.text(dateTimeText(day.date, std::max(0L, at - m_rng.between(10, 120))));
            m_delssl.text(item.pos).text(item.name).text(item.unit).integer(item.price);
            m_delssl.integer(qty).integer(item.price * qty).text("01").integer(id);
            if (m_upgraded) {
                m_delssl.null();
            }
            m_delssl.insert();
        }

        // Payments, in won: cash, card, receivable, points.
        const std::int64_t total = totals.gross;
        std::int64_t cash = 0, card = 0, owed = 0, points = 0;
        const auto r = m_rng.below(100);
        if (member && r < 10) {
            owed = total;
        } else if (member && r < 25) {
            points = total <= 3000
                         ? total
                         : std::min<std::int64_t>(total - 1000, m_rng.between(1, 5) * 1000);
            if (m_rng.percent(50)) {
                cash = total - points;
            } else {
                card = total - points;
            }
        } else if (r < 45 || total < 2000) {
            cash = total;
        } else if (r < 92) {
            card = total;
        } else {
            cash = m_rng.between(1, total / 1000 - 1) * 1000;
            card = total - cash;
        }

        std::int64_t paid = 0;
        if (cash > 0) {
            static constexpr std::int64_t kNotes[] = {1000, 5000, 10000, 50000};
            const std::int64_t note = m_rng.pick(kNotes);
            paid = m_rng.percent(40) ? cash : (cash + note - 1) / note * note;
        }
        std::optional<CardSwipe> swipe;
        std::optional<std::string> cardName;
        std::optional<std::string> cardNo;
        if (card > 0) {
            swipe = swipeCard(m_rng, day.date);
            // Offline approvals (signed slips) carry eight zeros as approval number.
            if (m_rng.percent(3)) {
                swipe->approval = "00000000";
            }
            cardName = std::string(swipe->issuer->name) + "/" + swipe->acquirer->name;
            cardNo = swipe->number.substr(0, 6) + "******" + swipe->number.substr(12);
        }
        const std::int64_t saved = member ? total / 100 : 0;
        const std::int64_t balance = member ? m_rng.between(0, 300) * 100 : 0;

        m_sl.integer(id).text(date);
        if (member) {
            m_sl.text(member->code).text(member->name);
        } else {
            // Walk-ins carry a blank member number and name, never Null: the POS program clears
            // the fields rather than leaving them unset.
            m_rng.percent(70) ? m_sl.text("") : m_sl.text("  ");
            m_sl.text("");
        }
        m_sl.money({won(total).hundredths - totals.vat.hundredths})
            .money(totals.vat)
            .integer(total);
        m_sl.integer(owed).integer(cash).integer(card).integer(saved).integer(balance + saved);
        m_sl.text(cashier.code).integer(no).integer(paid).integer(paid - cash).integer(balance);
        if (swipe) {
            m_sl.text(swipe->approval).maybeText(cardNo);
            // Some terminals report only the issuer.
            m_sl.maybeText(m_rng.percent(25) ? swipe->issuer->name : cardName);
        } else {
            m_sl.null().null().null();
        }
        m_rng.percent(80) ? m_sl.null() : m_sl.integer(0);
        m_sl.integer(points);
        if (m_upgraded) {
            m_rng.percent(15) ? m_sl.null() : m_sl.text(date);
            // Store, business date, counter and number of the day: unique per sale.
            m_sl.text("1001" + yyyymmdd(day.date) + "01" + digits(no, 4));
        }
        m_sl.insert();

        if (swipe) {
            m_credit.integer(id).text(date).text("01").integer(no).text("1").integer(card);
            m_credit.maybeText(cardName).maybeText(cardNo).text(installments(m_rng, card));
            m_credit.text(swipe->approval);
            m_credit.text(cashier.code).text(cashier.name).integer(0).insert();
        }
    }

    const DemoDbOptions& m_options;
    Random m_rng;
    bool m_upgraded;
    Insert m_sl, m_ssl, m_menu, m_credit, m_delssl;
    std::unique_ptr<Insert> m_bas;
    std::vector<MenuItem> m_items;
    MenuItem m_discount;
    std::vector<Person> m_members;
    std::vector<Person> m_cashiers;
    std::int64_t m_lastId = 0;
};

// ---------------------------------------------------------------------------------------------

bool validDate(const DateTime& t) {
    if (t.year < 1900 || t.year > 9999 || t.month < 1 || t.month > 12) {
        return false;
    }
    const Date d = civilFromDays(daysFromCivil(t.year, t.month, t.day));
    return d.year == t.year && d.month == t.month && d.day == t.day && t.hour >= 0 && t.hour < 24 &&
           t.minute >= 0 && t.minute < 60 && t.second >= 0 && t.second < 60;
}

// Claims `out` by creating it empty, failing when it exists: checking first and creating later
// would let a second writer slip in between.
void createEmpty(const std::filesystem::path& out) {
    const std::filesystem::path folder = out.parent_path().empty() ? "." : out.parent_path();
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        throw Error(kPathNotFound, "folder " + utf8(folder) + " does not exist");
    }
    if (std::filesystem::exists(std::filesystem::symlink_status(out, ec))) {
        throw Error(kFileAlreadyExists, utf8(out) + " exists already; it is not overwritten");
    }
    std::FILE* f = std::fopen(out.string().c_str(), "wbx");
    if (!f) {
        const bool exists = std::filesystem::exists(std::filesystem::symlink_status(out, ec));
        throw Error(exists ? kFileAlreadyExists : kPathNotFound,
                    exists ? utf8(out) + " exists already; it is not overwritten"
                           : "cannot create " + utf8(out));
    }
    std::fclose(f);
}

// Runs `fill` on a freshly claimed file; a failure removes the file again, so that no half
// database is left behind.
template <typename Fill>
void withNewDatabase(const std::filesystem::path& out, Fill fill) {
    createEmpty(out);
    try {
        Database db(out);
        // Nothing else can see the file while it is made, so no journal and no syncs.
        db.exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;");
        db.exec("BEGIN");
        fill(db);
        db.exec("COMMIT");
        // Back to the default, so that whoever opens the file next gets an ordinary database.
        db.exec("PRAGMA journal_mode=DELETE;");
    } catch (...) {
        std::error_code ec;
        std::filesystem::remove(out, ec);
        throw;
    }
}

}  // namespace

long DemoDbSummary::rows(std::string_view table) const {
    for (const TableRows& t : tables) {
        if (t.table == table) {
            return t.rows;
        }
    }
    return 0;
}

DemoDbSummary makeDemoDb(const DemoDbOptions& options, const std::filesystem::path& out) {
    if (options.days < 1) {
        throw Error(kInvalidArgument,
                    "days must be at least 1, not " + std::to_string(options.days));
    }
    if (options.sales < 0 || options.sales > kMaxSalesPerDay * options.days) {
        throw Error(kInvalidArgument, "sales must be between 0 and " +
                                          std::to_string(kMaxSalesPerDay * options.days) + " for " +
                                          std::to_string(options.days) + " days, not " +
                                          std::to_string(options.sales));
    }
    if (!validDate(options.today)) {
        throw Error(kInvalidArgument, "today is no valid date and time");
    }

    DemoDbSummary summary;
    summary.file = out;
    withNewDatabase(out, [&](Database& db) {
        const bool restaurant = options.kind == Kind::Restaurant;
        db.exec(restaurant ? kRestaurantSchema : kRetailSchema);
        if (!options.preUpgrade) {
            if (restaurant) {
                for (const char* sql : kRestaurantUpgrade) {
                    db.exec(sql);
                }
            } else {
                for (const char* sql : kRetailUpgrade) {
                    db.exec(sql);
                }
            }
        }
        if (restaurant) {
            RestaurantWriter w(db, options);
            w.write();
            summary.tables = w.counts();
        } else {
            RetailWriter w(db, options);
            w.write();
            summary.tables = w.counts();
        }
        // Indexes after the rows: building them once is faster than keeping them up to date.
        db.exec(restaurant ? kRestaurantIndexes : kRetailIndexes);
    });
    return summary;
}

void makeConfigDb(const std::filesystem::path& out, bool orderTerminal) {
    withNewDatabase(out, [&](Database& db) {
        db.exec(kConfigSchema);
        Insert cf(db, "CF", {"CF_PART", "CF_IDX", "CF_CONTENTS"});
        cf.text("POS").integer(3).text(orderTerminal ? "1" : "0").insert();
    });
}

}  // namespace veldon::demodb
