// Conversion between the program's UTF-8 text and the Windows Korean code page (CP949).
#pragma once

#include <string>
#include <string_view>

namespace veldon {

// UTF-8 to CP949. A character that CP949 cannot hold becomes '?', as on Windows.
std::string utf8ToCp949(std::string_view utf8);
// CP949 to UTF-8. A byte sequence that is not CP949 becomes U+FFFD.
std::string cp949ToUtf8(std::string_view cp949);
bool isValidUtf8(std::string_view bytes);

#ifdef _WIN32
// UTF-8 and the UTF-16 of the Windows API's W functions.
std::wstring utf8ToWide(std::string_view utf8);
std::string wideToUtf8(std::wstring_view wide);
#endif

}  // namespace veldon
