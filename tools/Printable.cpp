#include "Printable.h"

#include <locale.h>
#include <wchar.h>
#include <wctype.h>

#include <cstdio>

namespace Zelm::Tool {

namespace {

// Decoding and widths follow C.UTF-8 whatever the user's locale, on the
// calling thread only. Without that locale every byte above ASCII is escaped.
class Utf8Locale {
public:
    Utf8Locale() : locale_(::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0))) {
        if (locale_ != static_cast<locale_t>(0)) previous_ = ::uselocale(locale_);
    }
    ~Utf8Locale() {
        if (locale_ == static_cast<locale_t>(0)) return;
        ::uselocale(previous_);
        ::freelocale(locale_);
    }
    Utf8Locale(const Utf8Locale&) = delete;
    Utf8Locale& operator=(const Utf8Locale&) = delete;

    bool available() const { return locale_ != static_cast<locale_t>(0); }

private:
    locale_t locale_;
    locale_t previous_ = static_cast<locale_t>(0);
};

// Calls onChar(character, bytes) for each character and onByte(byte) for each
// byte that is not valid UTF-8.
template <typename OnChar, typename OnByte>
void walk(const std::string& bytes, OnChar onChar, OnByte onByte) {
    const Utf8Locale locale;
    std::mbstate_t state{};
    for (std::size_t i = 0; i < bytes.size();) {
        wchar_t character = 0;
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = byte < 0x80 ? 1
                                   : !locale.available()
                                       ? static_cast<std::size_t>(-1)
                                       : std::mbrtowc(&character, &bytes[i], bytes.size() - i, &state);
        if (length == 0 || length > bytes.size() - i) {  // invalid or incomplete
            state = std::mbstate_t{};
            onByte(byte);
            ++i;
            continue;
        }
        onChar(byte < 0x80 ? static_cast<wchar_t>(byte) : character, bytes.substr(i, length));
        i += length;
    }
}

}  // namespace

bool isUtf8(const std::string& bytes) {
    bool valid = true;
    walk(
        bytes, [](wchar_t, const std::string&) {}, [&valid](unsigned char) { valid = false; });
    return valid;
}

std::string printable(const std::string& bytes, bool doubleBackslash) {
    std::string text;
    const auto escape = [&text](unsigned char byte) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02x", byte);
        text += hex;
    };
    walk(
        bytes,
        [&](wchar_t character, const std::string& encoded) {
            if (character == L'\\' && doubleBackslash) {
                text += "\\\\";
            } else if (::iswcntrl(static_cast<wint_t>(character)) != 0) {
                for (const char c : encoded) escape(static_cast<unsigned char>(c));
            } else {
                text += encoded;
            }
        },
        escape);
    return text;
}

std::size_t displayWidth(const std::string& text) {
    std::size_t width = 0;
    walk(
        text,
        [&width](wchar_t character, const std::string&) {
            const int columns = ::wcwidth(character);
            width += columns < 0 ? 1 : static_cast<std::size_t>(columns);
        },
        [&width](unsigned char) { ++width; });
    return width;
}

}  // namespace Zelm::Tool
