#include "app/frm_inipath.h"

#include "platform/inifile.h"

namespace veldon {

std::string ReadIni(const std::filesystem::path& programFolder, const std::string& section,
                    const std::string& key) {
    std::string value = readProfileString(programFolder / "UpdatePath.ini", section, key, "", 255);
    return value.substr(0, value.find('\0'));
}

}  // namespace veldon
