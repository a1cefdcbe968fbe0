#include "common/text.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <utility>

namespace orvex {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

char hex_digit(std::uint32_t value) {
    return "0123456789abcdef"[value & 0xF];
}

void append_code_point(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one WTF-8 code point at `pos`; returns it with its length, or nothing for a byte that
// does not start a well-formed sequence. Encoded surrogates are accepted (that is WTF-8).
std::optional<std::pair<char32_t, std::size_t>> decode_one(std::string_view s, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    const std::uint8_t b0 = byte(pos);
    if (b0 < 0x80) {
        return std::pair{char32_t{b0}, std::size_t{1}};
    }
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return std::nullopt;
    }
    if (pos + len > s.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < len; ++i) {
        const std::uint8_t b = byte(pos + i);
        if ((b & 0xC0) != 0x80) {
            return std::nullopt;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF) {
        return std::nullopt;
    }
    return std::pair{cp, len};
}

bool is_surrogate(char32_t cp) {
    return cp >= 0xD800 && cp <= 0xDFFF;
}

struct CodePointRange {
    char32_t first, last;
};

#include "common/unicode_table.inc"

template <std::size_t N> bool in_table(const CodePointRange (&table)[N], char32_t cp) {
    const CodePointRange* after =
        std::upper_bound(std::begin(table), std::end(table), cp,
                         [](char32_t c, const CodePointRange& range) { return c < range.first; });
    return after != std::begin(table) && cp <= (after - 1)->last;
}

bool is_non_printable(char32_t cp) {
    if (cp >= 0x20 && cp < 0x7F) {
        return false;
    }
    return in_table(NON_PRINTABLE, cp);
}

bool is_grapheme_extend(char32_t cp) {
    return cp >= 0x300 && in_table(GRAPHEME_EXTEND, cp);
}

void append_hex_escape(std::string& out, char32_t cp) {
    std::string hex;
    do {
        hex.insert(hex.begin(), hex_digit(cp));
        cp >>= 4;
    } while (cp != 0);
    out += "\\u{";
    out += hex;
    out += '}';
}

// The escapes of the quoted form; `quoted` adds a backslash before every backslash and double
// quote. A mark that would join what comes before it (the quote, or the last character of an
// escape) is escaped too.
void append_escaped(std::string& out, std::string_view wtf8, bool quoted) {
    bool after_escape = true; // the start of the text
    std::size_t pos = 0;
    while (pos < wtf8.size()) {
        const auto decoded = decode_one(wtf8, pos);
        const std::size_t len = decoded ? decoded->second : 1;
        const char32_t cp = decoded ? decoded->first : REPLACEMENT;
        const char* escape = nullptr;
        switch (cp) {
        case U'\\':
            escape = quoted ? "\\\\" : nullptr;
            break;
        case U'"':
            escape = quoted ? "\\\"" : nullptr;
            break;
        case U'\t':
            escape = "\\t";
            break;
        case U'\r':
            escape = "\\r";
            break;
        case U'\n':
            escape = "\\n";
            break;
        case U'\0':
            escape = "\\0";
            break;
        default:
            break;
        }
        if (escape != nullptr) {
            out += escape;
        } else if (!decoded) {
            out += "\xEF\xBF\xBD"; // not WTF-8: shown as U+FFFD
        } else if (is_non_printable(cp) || (after_escape && is_grapheme_extend(cp))) {
            append_hex_escape(out, cp);
            escape = "";
        } else {
            out.append(wtf8.substr(pos, len));
        }
        after_escape = escape != nullptr;
        pos += len;
    }
}

} // namespace

std::string wtf8_from_utf16(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            const char32_t cp =
                0x10000 + ((char32_t{unit} - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            append_code_point(out, cp);
            ++i;
        } else {
            append_code_point(out, unit);
        }
    }
    return out;
}

std::u16string utf16_from_wtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto decoded = decode_one(text, pos);
        if (!decoded) {
            out.push_back(static_cast<char16_t>(REPLACEMENT));
            ++pos;
            continue;
        }
        const auto [cp, len] = *decoded;
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        pos += len;
    }
    return out;
}

std::optional<std::u16string> to_system_string(std::string_view text) {
    std::u16string wide = utf16_from_wtf8(text);
    if (wide.find(u'\0') != std::u16string::npos) {
        return std::nullopt;
    }
    wide.push_back(u'\0');
    return wide;
}

bool is_valid_unicode(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
                return false;
            }
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

bool is_valid_unicode(std::string_view wtf8) {
    std::size_t pos = 0;
    while (pos < wtf8.size()) {
        if (static_cast<unsigned char>(wtf8[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const auto decoded = decode_one(wtf8, pos);
        if (!decoded || is_surrogate(decoded->first)) {
            return false;
        }
        pos += decoded->second;
    }
    return true;
}

std::string quote_path(std::string_view wtf8) {
    std::string out = "\"";
    append_escaped(out, wtf8, true);
    out += '"';
    return out;
}

std::string escape_text(std::string_view wtf8) {
    std::string out;
    append_escaped(out, wtf8, false);
    return out;
}

std::string join_path(std::string_view base, std::string_view name) {
    std::string out{base};
    if (!out.empty() && out.back() != '\\' && out.back() != '/') {
        out += '\\';
    }
    out += name;
    return out;
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        out.push_back(hex_digit(byte >> 4));
        out.push_back(hex_digit(byte));
    }
    return out;
}

} // namespace orvex
