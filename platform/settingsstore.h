// The per-user settings store: text values addressed by application, section and key.
//
// Windows keeps them in the registry branch of per-application settings
// (HKEY_CURRENT_USER\Software\VB and VBA Program Settings\<application>\<section>\<key>).
// Elsewhere each application is one UTF-8 file,
// ${XDG_CONFIG_HOME:-$HOME/.config}/VB and VBA Program Settings/<application>.ini, with
// "[section]" and "key=value" lines. Names match without regard to ASCII letter case, as registry
// names do. Reading never fails: a missing file, section or key gives the default. Writing keeps
// every other entry and replaces the file atomically, so a crash never leaves half a store.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace veldon {

struct SettingEntry {
    std::string section;
    std::string key;
    std::string value;
};

class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    virtual std::string get(const std::string& application, const std::string& section,
                            const std::string& key, const std::string& defaultValue = {}) const = 0;
    // Raises veldon::Error when the value cannot be stored (folder not writable, disk full).
    virtual void set(const std::string& application, const std::string& section,
                     const std::string& key, const std::string& value) = 0;
    // Every entry of one application, in stored order.
    virtual std::vector<SettingEntry> list(const std::string& application) const = 0;
    // The applications that hold at least one entry.
    virtual std::vector<std::string> applications() const = 0;
};

// The store of INI files below `root` (the folder "VB and VBA Program Settings").
class IniSettingsStore : public SettingsStore {
public:
    explicit IniSettingsStore(std::filesystem::path root);

    // The folder of the current user: ${XDG_CONFIG_HOME:-$HOME/.config}/VB and VBA Program
    // Settings.
    static std::filesystem::path defaultRoot();

    std::string get(const std::string& application, const std::string& section,
                    const std::string& key, const std::string& defaultValue = {}) const override;
    void set(const std::string& application, const std::string& section, const std::string& key,
             const std::string& value) override;
    std::vector<SettingEntry> list(const std::string& application) const override;
    std::vector<std::string> applications() const override;

    const std::filesystem::path& root() const { return m_root; }

private:
    std::filesystem::path fileOf(const std::string& application) const;

    std::filesystem::path m_root;
};

// The store of this platform for the current user.
std::unique_ptr<SettingsStore> openUserSettingsStore();

}  // namespace veldon
