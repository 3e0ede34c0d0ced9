#include "platform/textcodec.h"

#include <cstddef>

#include "platform/error.h"
#include "platform/fileerror.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>

#include <cerrno>
#endif

namespace veldon {

namespace {

// Length of the well-formed UTF-8 sequence at the start of `bytes`, 0 when it is not one
// (overlong forms, surrogates and values beyond U+10FFFF included).
std::size_t utf8SequenceLength(std::string_view bytes) {
    if (bytes.empty()) {
        return 0;
    }
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return 0;
    }
    if (bytes.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

constexpr std::string_view ReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

#ifndef _WIN32

class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {
        if (m_cd == reinterpret_cast<iconv_t>(-1)) {
            throw Error(errc::InvalidProcedureCall,
                        std::string("the C library cannot convert from ") + from + " to " + to);
        }
    }
    ~Converter() { iconv_close(m_cd); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts `input`; at each sequence that cannot be converted, `onFailure(rest, out)` appends
    // a replacement and returns how many input bytes it stands for.
    template <typename OnFailure>
    std::string convert(std::string_view input, OnFailure onFailure) {
        std::string out;
        out.reserve(input.size() * 3 / 2 + 8);
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        char* in = const_cast<char*>(input.data());
        std::size_t inLeft = input.size();
        char buffer[4096];
        while (inLeft > 0) {
            char* next = buffer;
            std::size_t outLeft = sizeof buffer;
            const std::size_t result = iconv(m_cd, &in, &inLeft, &next, &outLeft);
            const int failure = errno;
            out.append(buffer, static_cast<std::size_t>(next - buffer));
            if (result != static_cast<std::size_t>(-1) || failure == E2BIG) {
                continue;
            }
            // EILSEQ or EINVAL (a sequence cut off by the end of the input).
            const std::size_t skipped = onFailure(std::string_view(in, inLeft), out);
            in += skipped;
            inLeft -= skipped;
            iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

private:
    iconv_t m_cd;
};

// The descriptors are reused within a thread: opening one costs more than converting a line.
Converter& toCp949() {
    thread_local Converter converter("CP949", "UTF-8");
    return converter;
}

Converter& fromCp949() {
    thread_local Converter converter("UTF-8", "CP949");
    return converter;
}

#endif

// Trail bytes of the double-byte characters of CP949 (the Unified Hangul Code extension
// included); a failed pair whose second byte is ASCII gives that byte back as its own character.
bool isCp949TrailByte(unsigned char c) {
    return (c >= 0x41 && c <= 0x5A) || (c >= 0x61 && c <= 0x7A) || (c >= 0x81 && c <= 0xFE);
}

std::size_t invalidCp949Length(std::string_view rest) {
    const auto lead = static_cast<unsigned char>(rest[0]);
    if (lead >= 0x81 && lead <= 0xFE && rest.size() >= 2 &&
        static_cast<unsigned char>(rest[1]) >= 0x80 &&
        isCp949TrailByte(static_cast<unsigned char>(rest[1]))) {
        return 2;
    }
    return 1;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    while (!bytes.empty()) {
        const std::size_t length = utf8SequenceLength(bytes);
        if (length == 0) {
            return false;
        }
        bytes.remove_prefix(length);
    }
    return true;
}

#ifndef _WIN32

std::string utf8ToCp949(std::string_view utf8) {
    return toCp949().convert(utf8, [](std::string_view rest, std::string& out) {
        // A character CP949 lacks and a byte that is no UTF-8 are each one '?'.
        out += '?';
        const std::size_t length = utf8SequenceLength(rest);
        return length == 0 ? std::size_t{1} : length;
    });
}

std::string cp949ToUtf8(std::string_view cp949) {
    return fromCp949().convert(cp949, [](std::string_view rest, std::string& out) {
        out += ReplacementCharacter;
        return invalidCp949Length(rest);
    });
}

#else

namespace {

std::wstring toWide(UINT codePage, DWORD flags, std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), size, wide.data(), length);
    return wide;
}

std::string fromWide(UINT codePage, std::wstring_view wide) {
    if (wide.empty()) {
        return {};
    }
    const int size = static_cast<int>(wide.size());
    const char* defaultChar = codePage == CP_UTF8 ? nullptr : "?";
    const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int length =
        WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, defaultChar, nullptr);
    std::string text(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(codePage, flags, wide.data(), size, text.data(), length, defaultChar,
                        nullptr);
    return text;
}

}  // namespace

std::wstring utf8ToWide(std::string_view utf8) {
    return toWide(CP_UTF8, 0, utf8);
}

std::string wideToUtf8(std::wstring_view wide) {
    return fromWide(CP_UTF8, wide);
}

std::string utf8ToCp949(std::string_view utf8) {
    // CP949 holds nothing beyond the Basic Multilingual Plane: such a character, and a byte that is
    // no UTF-8, become one '?' each here, before Windows would make one of each UTF-16 half.
    std::wstring wide;
    wide.reserve(utf8.size());
    while (!utf8.empty()) {
        const std::size_t length = utf8SequenceLength(utf8);
        if (length == 0 || length == 4) {
            wide += L'?';
        } else {
            wide += toWide(CP_UTF8, 0, utf8.substr(0, length));
        }
        utf8.remove_prefix(length == 0 ? 1 : length);
    }
    return fromWide(949, wide);
}

std::string cp949ToUtf8(std::string_view cp949) {
    // Decoded piece by piece so that an invalid sequence becomes U+FFFD as on every platform.
    std::string out;
    while (!cp949.empty()) {
        const auto lead = static_cast<unsigned char>(cp949[0]);
        if (lead < 0x80) {
            out += cp949[0];
            cp949.remove_prefix(1);
            continue;
        }
        // Only a lead byte with its trail byte makes a character. Windows would also take the
        // single bytes 0x80 and 0xFF, and the user-defined codes, as characters (U+0080 and
        // private-use ones) that CP949 does not assign: like iconv, they count as invalid.
        if (lead <= 0xFE && lead != 0x80 && cp949.size() >= 2) {
            const std::wstring wide = toWide(949, MB_ERR_INVALID_CHARS, cp949.substr(0, 2));
            if (wide.size() == 1 && (wide[0] < 0xE000 || wide[0] > 0xF8FF)) {
                out += fromWide(CP_UTF8, wide);
                cp949.remove_prefix(2);
                continue;
            }
        }
        out += ReplacementCharacter;
        cp949.remove_prefix(invalidCp949Length(cp949));
    }
    return out;
}

#endif

}  // namespace veldon
