// The head office's page of the central service: one line per registered shop with what it sent
// over the last days, shops that went silent standing out, as HTML and as a CSV file; and the
// session tokens of its login. Plain functions of the shops' activity and "now", without HTTP.
//
// Sessions are stateless signed tokens rather than a table in memory, so that any of several
// services behind one address, reading the same accounts, accepts the token another one issued,
// and a restart logs nobody out. A token holds the user name and its expiry (8 hours after the
// login), signed with HMAC-SHA256 under a key derived from all accounts (names, passwords and
// databases): only who knows the accounts can make one, and changing or removing any account
// ends every session. Tokens are compared in constant time. A token cannot be revoked before it
// expires except by changing the accounts; logging out clears the browser's cookie.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "central/store.h"
#include "platform/clock.h"

namespace veldon::central {

struct PageOptions {
    // A shop that sent nothing for longer is silent. A shop's agent sends every closed sale within
    // its scan interval, a few minutes; three hours pass a quiet afternoon (a restaurant's break
    // between lunch and dinner) without flagging a healthy shop, yet show one whose PC, agent or
    // line stopped on the same day. Outside business hours every shop turns silent.
    int silentAfterMinutes = 180;
    int days = 7;  // the days shown, today included
};

constexpr std::int64_t kSessionSeconds = 8 * 60 * 60;
constexpr const char* kSessionCookie = "veldon_session";

// Text made safe inside HTML elements and quoted attribute values: & < > " ' escaped.
std::string escapeHtml(std::string_view text);
// One CSV field, always quoted, quotes doubled; a field beginning with = + - @ (or a tab or a
// carriage return) gets a leading apostrophe so that spreadsheet programs take it as text, never
// as a formula.
std::string csvField(std::string_view text);

// Whether a shop sent nothing (no sale, no card approval) for longer than `silentAfterMinutes`
// before `now`; a shop that never sent anything is silent.
bool isSilent(const ShopActivity& shop, const DateTime& now, int silentAfterMinutes);

// The page (UTF-8 HTML with its style inline, no script), its CSV export (UTF-8 with a byte
// order mark, CRLF lines) and the login form with an optional message. `shops` cover
// `options.days` days ending with `now`'s date.
std::string renderShopsPage(const std::vector<ShopActivity>& shops, const DateTime& now,
                            const PageOptions& options);
std::string renderShopsCsv(const std::vector<ShopActivity>& shops, const DateTime& now,
                           const PageOptions& options);
std::string renderLoginPage(std::string_view message);
// The Content-Security-Policy of these pages: nothing but their own inline style (by its hash)
// and forms posted back here.
const std::string& pageSecurityPolicy();

// The signing key of the session tokens, derived from `secret` (the accounts, as the service
// joins them).
std::string sessionKey(std::string_view secret);
// A token for `user`, valid from `now` (seconds since the epoch) for `lifetime` seconds.
std::string makeSessionToken(std::string_view key, std::string_view user, std::int64_t now,
                             std::int64_t lifetime = kSessionSeconds);
// The user of a token signed with `key` that has not expired at `now`; empty otherwise.
std::optional<std::string> sessionUser(std::string_view key, std::string_view token,
                                       std::int64_t now);
// Whether two secrets are equal, in a time that does not depend on where they differ.
bool sameSecret(std::string_view a, std::string_view b);

// The value of `name` in a form-urlencoded body, decoded; empty when absent.
std::string formValue(std::string_view body, std::string_view name);
// The value of cookie `name` in a Cookie header; empty when absent.
std::string cookieValue(std::string_view header, std::string_view name);

}  // namespace veldon::central
