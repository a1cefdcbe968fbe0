#pragma once
// The program's internal text form for paths and names: WTF-8, that is UTF-8 that can also carry
// unpaired UTF-16 surrogates, so that every name the system hands us survives a round trip.
// Conversion to UTF-16 happens right before each system call.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace orvex {

// UTF-16 (possibly ill-formed) to WTF-8. Never fails: unpaired surrogates are kept.
[[nodiscard]] std::string wtf8_from_utf16(std::u16string_view text);

// WTF-8 to UTF-16. Input that is not WTF-8 (only possible for bytes that did not come from
// `wtf8_from_utf16` or a literal) has each offending byte replaced by U+FFFD.
[[nodiscard]] std::u16string utf16_from_wtf8(std::string_view text);

// UTF-16 with a terminating NUL for a system call, or nothing when the text holds a NUL itself.
[[nodiscard]] std::optional<std::u16string> to_system_string(std::string_view text);

// True when the UTF-16 text holds no unpaired surrogate.
[[nodiscard]] bool is_valid_unicode(std::u16string_view text);

// True when the WTF-8 text holds no encoded surrogate (it is plain UTF-8).
[[nodiscard]] bool is_valid_unicode(std::string_view wtf8);

// A path as it is inserted into messages: enclosed in double quotes; a backslash before every
// backslash and double quote; \t \r \n \0 for tab, carriage return, line feed and NUL; and
// \u{...} in lower-case hexadecimal for unpaired surrogates and every other non-printable
// character. Non-printable means, by Unicode (the version is named in unicode_table.inc): the
// general categories Zs other than the space, Zl, Zp, Cc, Cf, Cs, Co and Cn (unassigned code points
// and noncharacters), and a grapheme-extending mark at the start of the text or right after an
// escape, where it would join the quote or the escape.
[[nodiscard]] std::string quote_path(std::string_view wtf8);

// A name from a document as it is inserted into a message between backticks: the escapes of
// `quote_path`, but without the quotes and with backslashes and double quotes left as they are.
[[nodiscard]] std::string escape_text(std::string_view wtf8);

// Bytes as lower-case hexadecimal, two digits each.
[[nodiscard]] std::string to_hex(std::span<const std::uint8_t> bytes);

// Appends a path component with one backslash between the two, unless `base` is empty or already
// ends in a separator.
[[nodiscard]] std::string join_path(std::string_view base, std::string_view name);

} // namespace orvex
