// The settings store of Windows: the registry branch of per-application settings, through the
// real registry (under Wine in the cross-build's tests).
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/settingsstore.h"

namespace veldon {
namespace {

// The value as another program (the POS program, regedit) sees it.
std::wstring rawValue(const std::wstring& path, const std::wstring& name) {
    wchar_t buffer[256] = {};
    DWORD size = sizeof buffer;
    const std::wstring key = L"Software\\VB and VBA Program Settings\\" + path;
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, buffer,
                     &size) != ERROR_SUCCESS) {
        return L"(none)";
    }
    return buffer;
}

TEST(RegistrySettingsStore, KeepsValuesWhereTheProgramsOfTheShopLookForThem) {
    const auto store = openUserSettingsStore();
    const std::string app = "VELDON_TEST_" + std::to_string(GetCurrentProcessId());
    // Wine reuses process ids: a key left by an earlier run in the same prefix goes first.
    RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\VB and VBA Program Settings\\VELDON_TEST_" +
                                       std::to_wstring(GetCurrentProcessId()))
                                          .c_str());
    EXPECT_EQ(store->get(app, "Settings", "1차서버", "none"), "none");
    EXPECT_TRUE(store->list(app).empty());

    struct Case {
        const char* section;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"Settings", "1차서버", "https://central.example:8750"},
        {"Settings", "DBUser", " blanks kept = and everything after "},
        {"전송에러", "20261207", ""},
    };
    for (const Case& c : cases) {
        store->set(app, c.section, c.key, c.value);
        EXPECT_EQ(store->get(app, c.section, c.key, "default"), c.value) << c.key;
    }
    // Names match without regard to ASCII case, as the registry's do.
    EXPECT_EQ(store->get(app, "SETTINGS", "dbuser"), " blanks kept = and everything after ");
    EXPECT_EQ(rawValue(std::wstring(app.begin(), app.end()) + L"\\Settings", L"1차서버"),
              L"https://central.example:8750");
    EXPECT_EQ(store->list(app).size(), 3u);
    const auto applications = store->applications();
    EXPECT_NE(std::find(applications.begin(), applications.end(), app), applications.end());

    EXPECT_THROW(store->set(app, "", "key", "value"), Error);
}

}  // namespace
}  // namespace veldon
