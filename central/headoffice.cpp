#include "central/headoffice.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <charconv>
#include <string>

namespace veldon::central {

namespace {

// Both pages share this style, so that one hash in the policy allows it and nothing else.
constexpr std::string_view kStyle =
    "body{font-family:\"Malgun Gothic\",\"Apple SD Gothic Neo\",\"Noto Sans CJK KR\",NanumGothic,"
    "sans-serif;margin:1.5em;color:#1d1d1f;background:#fff}"
    "h1{font-size:1.4em;margin:0 0 .4em}"
    "p{margin:.25em 0}"
    "table{border-collapse:collapse;margin-top:1em;font-size:.9em}"
    "th,td{border:1px solid #c4c8cf;padding:.25em .45em;white-space:nowrap}"
    "th{background:#eef1f5;font-weight:600}"
    "td.n{text-align:right;font-variant-numeric:tabular-nums}"
    "td.z{color:#9aa0a6}"
    "th.d,td.d{border-left:2px solid #8a919b}"
    "p.count{font-weight:700}"
    "tr.silent{background:#ffd4d4}"
    "tr.silent td.status{color:#a40000;font-weight:700}"
    "form{display:grid;gap:.7em;max-width:20em;margin-top:1em}"
    "label{display:grid;gap:.2em}"
    "input,button{font:inherit;padding:.35em}"
    "p.message{color:#a40000;font-weight:700}";

std::string sha256(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string hmacSha256(std::string_view key, std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &size);
    return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::string> unhex(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hexDigit(text[i]), low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(high * 16 + low);
    }
    return out;
}

// Days since 1970-01-01 of a calendar date (proleptic Gregorian).
long daysFromCivil(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const long yoe = year - era * 400;
    const long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

long secondsOf(const DateTime& t) {
    return daysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

// Seconds from a shop's last upload to `now`; empty when it never sent anything.
std::optional<long> silentFor(const ShopActivity& shop, const DateTime& now) {
    DateTime last;
    if (shop.lastUpload.empty() || !parseDateTime(shop.lastUpload, last)) {
        return std::nullopt;
    }
    return secondsOf(now) - secondsOf(last);
}

std::string duration(long seconds) {
    const long minutes = seconds / 60;
    if (minutes < 60) {
        return std::to_string(minutes) + " min";
    }
    if (minutes < 48 * 60) {
        return std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min";
    }
    return std::to_string(minutes / (24 * 60)) + " days";
}

std::string statusText(const ShopActivity& shop, const DateTime& now, const PageOptions& options) {
    if (!isSilent(shop, now, options.silentAfterMinutes)) {
        return "ok";
    }
    const auto seconds = silentFor(shop, now);
    return seconds ? "silent for " + duration(*seconds) : "silent: never sent";
}

long dayCount(const std::vector<long>& perDay, int day) {
    const auto i = static_cast<std::size_t>(day);
    return i < perDay.size() ? perDay[i] : 0;
}

const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

std::string numberCell(long n, bool dayStart = false) {
    std::string cls = n == 0 ? "n z" : "n";
    if (dayStart) {
        cls += " d";
    }
    return "<td class=\"" + cls + "\">" + std::to_string(n) + "</td>";
}

std::string head(std::string_view title) {
    std::string out =
        "<!DOCTYPE html>\n<html lang=\"ko\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<meta name=\"referrer\" content=\"no-referrer\">\n<title>";
    out += escapeHtml(title);
    out += "</title>\n<style>";
    out += kStyle;
    out += "</style>\n</head>\n<body>\n";
    return out;
}

}  // namespace

std::string escapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string csvField(std::string_view text) {
    std::string out = "\"";
    if (!text.empty() &&
        std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos) {
        out += '\'';
    }
    for (const char c : text) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

bool isSilent(const ShopActivity& shop, const DateTime& now, int silentAfterMinutes) {
    const auto seconds = silentFor(shop, now);
    return !seconds || *seconds > static_cast<long>(silentAfterMinutes) * 60;
}

std::string renderShopsPage(const std::vector<ShopActivity>& shops, const DateTime& now,
                            const PageOptions& options) {
    long silent = 0;
    for (const ShopActivity& shop : shops) {
        silent += isSilent(shop, now, options.silentAfterMinutes) ? 1 : 0;
    }
    const DateTime today = now.date();
    std::string out = head("VELDON shops");
    out += "<h1>VELDON: what the shops sent</h1>\n<p>Made " + now.toDateTimeText() + ", period " +
           today.addDays(1 - options.days).toDateText() + " to " + today.toDateText() + " (" +
           std::to_string(options.days) + " days, newest first)</p>\n";
    out += "<p class=\"count\">" + std::to_string(silent) + " of " + std::to_string(shops.size()) +
           " shops silent (nothing sent for more than " +
           std::to_string(options.silentAfterMinutes) + " minutes)</p>\n";
    out +=
        "<p><a href=\"/shops.csv\">Download as CSV</a> &middot; <a href=\"/logout\">Log "
        "out</a></p>\n";

    out +=
        "<table>\n<thead>\n<tr><th rowspan=\"2\">Store</th><th rowspan=\"2\">Name</th>"
        "<th rowspan=\"2\">Status</th><th rowspan=\"2\">Last upload</th>"
        "<th rowspan=\"2\">Agent version</th><th rowspan=\"2\">Reported</th>";
    for (int day = 0; day < options.days; ++day) {
        const DateTime date = today.addDays(-day);
        const long weekday = ((daysFromCivil(date.year, date.month, date.day) % 7) + 11) % 7;
        out += "<th colspan=\"2\" class=\"d\" title=\"" + date.toDateText() + "\">" +
               date.toDateText().substr(5) + " " + kWeekdays[weekday] + "</th>";
    }
    out += "<th rowspan=\"2\">Duplicates</th><th rowspan=\"2\">Refusals</th></tr>\n<tr>";
    for (int day = 0; day < options.days; ++day) {
        out += "<th class=\"d\">sales</th><th>cards</th>";
    }
    out += "</tr>\n</thead>\n<tbody>\n";
    for (const ShopActivity& shop : shops) {
        const bool quiet = isSilent(shop, now, options.silentAfterMinutes);
        out += quiet ? "<tr class=\"silent\">" : "<tr>";
        out += "<td>" + escapeHtml(shop.storeCode) + "</td><td>" + escapeHtml(shop.storeName) +
               "</td><td class=\"status\">" + escapeHtml(statusText(shop, now, options)) +
               "</td><td>" + escapeHtml(shop.lastUpload) + "</td><td>" + escapeHtml(shop.version) +
               "</td><td>" + escapeHtml(shop.versionReportedAt) + "</td>";
        for (int day = 0; day < options.days; ++day) {
            out += numberCell(dayCount(shop.salesPerDay, day), true);
            out += numberCell(dayCount(shop.cardsPerDay, day));
        }
        out += numberCell(shop.duplicates) + numberCell(shop.refusals) + "</tr>\n";
    }
    out += "</tbody>\n</table>\n</body>\n</html>\n";
    return out;
}

std::string renderShopsCsv(const std::vector<ShopActivity>& shops, const DateTime& now,
                           const PageOptions& options) {
    auto line = [](const std::vector<std::string>& fields) {
        std::string out;
        for (const std::string& field : fields) {
            out += (out.empty() ? "" : ",") + csvField(field);
        }
        return out + "\r\n";
    };
    std::vector<std::string> names = {"Store",       "Name",          "Status",
                                      "Last upload", "Agent version", "Version reported"};
    for (int day = 0; day < options.days; ++day) {
        const std::string date = now.date().addDays(-day).toDateText();
        names.push_back("Sales " + date);
        names.push_back("Card approvals " + date);
    }
    names.push_back("Duplicates");
    names.push_back("Refusals");
    std::string out = "\xEF\xBB\xBF" + line(names);
    for (const ShopActivity& shop : shops) {
        std::vector<std::string> fields = {
            shop.storeCode,
            shop.storeName,
            isSilent(shop, now, options.silentAfterMinutes) ? "silent" : "ok",
            shop.lastUpload,
            shop.version,
            shop.versionReportedAt};
        for (int day = 0; day < options.days; ++day) {
            fields.push_back(std::to_string(dayCount(shop.salesPerDay, day)));
            fields.push_back(std::to_string(dayCount(shop.cardsPerDay, day)));
        }
        fields.push_back(std::to_string(shop.duplicates));
        fields.push_back(std::to_string(shop.refusals));
        out += line(fields);
    }
    return out;
}

std::string renderLoginPage(std::string_view message) {
    std::string out = head("VELDON head office: log in");
    out += "<h1>VELDON head office</h1>\n<p>Log in with an account of the central service.</p>\n";
    if (!message.empty()) {
        out += "<p class=\"message\">" + escapeHtml(message) + "</p>\n";
    }
    out +=
        "<form method=\"post\" action=\"/login\">\n"
        "<label>User <input name=\"user\" autocomplete=\"username\" required autofocus></label>\n"
        "<label>Password <input name=\"password\" type=\"password\" "
        "autocomplete=\"current-password\" required></label>\n"
        "<button type=\"submit\">Log in</button>\n</form>\n</body>\n</html>\n";
    return out;
}

const std::string& pageSecurityPolicy() {
    static const std::string policy = [] {
        const std::string digest = sha256(kStyle);
        unsigned char base64[64] = {};
        EVP_EncodeBlock(base64, reinterpret_cast<const unsigned char*>(digest.data()),
                        static_cast<int>(digest.size()));
        return "default-src 'none'; style-src 'sha256-" +
               std::string(reinterpret_cast<const char*>(base64)) +
               "'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'";
    }();
    return policy;
}

std::string sessionKey(std::string_view secret) {
    return hmacSha256("veldon head-office sessions", secret);
}

std::string makeSessionToken(std::string_view key, std::string_view user, std::int64_t now,
                             std::int64_t lifetime) {
    const std::string payload = hex(user) + "." + std::to_string(now + lifetime);
    return payload + "." + hex(hmacSha256(key, payload));
}

std::optional<std::string> sessionUser(std::string_view key, std::string_view token,
                                       std::int64_t now) {
    const std::size_t mac = token.rfind('.');
    if (mac == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view payload = token.substr(0, mac);
    if (!sameSecret(token.substr(mac + 1), hex(hmacSha256(key, payload)))) {
        return std::nullopt;
    }
    const std::size_t dot = payload.find('.');
    std::int64_t expiry = 0;
    const std::string_view expiryText =
        payload.substr(dot == payload.npos ? payload.size() : dot + 1);
    const auto [end, ec] =
        std::from_chars(expiryText.data(), expiryText.data() + expiryText.size(), expiry);
    if (dot == payload.npos || ec != std::errc() || end != expiryText.data() + expiryText.size() ||
        expiry <= now) {
        return std::nullopt;
    }
    return unhex(payload.substr(0, dot));
}

bool sameSecret(std::string_view a, std::string_view b) {
    // Digests of equal length, so that neither the length nor the first difference shows.
    const std::string da = sha256(a), db = sha256(b);
    return CRYPTO_memcmp(da.data(), db.data(), da.size()) == 0;
}

std::string formValue(std::string_view body, std::string_view name) {
    auto decode = [](std::string_view text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '+') {
                out += ' ';
            } else if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
                       hexDigit(text[i + 2]) >= 0) {
                out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
                i += 2;
            } else {
                out += text[i];
            }
        }
        return out;
    };
    while (!body.empty()) {
        const std::size_t amp = body.find('&');
        const std::string_view pair = body.substr(0, amp);
        body.remove_prefix(amp == body.npos ? body.size() : amp + 1);
        const std::size_t eq = pair.find('=');
        if (decode(pair.substr(0, eq)) == name) {
            return eq == pair.npos ? std::string() : decode(pair.substr(eq + 1));
        }
    }
    return {};
}

std::string cookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const std::size_t semicolon = header.find(';');
        std::string_view pair = header.substr(0, semicolon);
        header.remove_prefix(semicolon == header.npos ? header.size() : semicolon + 1);
        while (!pair.empty() && pair.front() == ' ') {
            pair.remove_prefix(1);
        }
        const std::size_t eq = pair.find('=');
        if (eq != pair.npos && pair.substr(0, eq) == name) {
            return std::string(pair.substr(eq + 1));
        }
    }
    return {};
}

}  // namespace veldon::central
