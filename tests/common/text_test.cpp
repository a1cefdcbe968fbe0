#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "common/text.hpp"

namespace orvex {
namespace {

TEST(Wtf8, RoundTripsWellFormedAndUnpairedSurrogates) {
    const std::u16string samples[] = {
        u"",
        u"C:\\ProgramData\\orvex-service",
        u"caf\u00e9 \u4e2d\u6587",
        u"\U0001F600 pair",
        std::u16string{u'a', char16_t(0xD800), u'b'}, // lone high surrogate
        std::u16string{char16_t(0xDC00)},             // lone low surrogate
        std::u16string{char16_t(0xDBFF), char16_t(0xDBFF), char16_t(0xDFFF)},
    };
    for (const auto& sample : samples) {
        EXPECT_EQ(utf16_from_wtf8(wtf8_from_utf16(sample)), sample);
    }
    EXPECT_EQ(wtf8_from_utf16(std::u16string{char16_t(0xD800)}), "\xED\xA0\x80");
    EXPECT_EQ(wtf8_from_utf16(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(Wtf8, ValidityAndNulDetection) {
    EXPECT_TRUE(is_valid_unicode(std::u16string_view{u"ok \U0001F600"}));
    EXPECT_FALSE(is_valid_unicode(std::u16string_view{std::u16string{char16_t(0xDC00), u'x'}}));
    EXPECT_FALSE(is_valid_unicode(std::u16string_view{std::u16string{u'x', char16_t(0xD800)}}));
    EXPECT_TRUE(is_valid_unicode(std::string_view{"caf\xC3\xA9"}));
    EXPECT_FALSE(is_valid_unicode(std::string_view{"\xED\xA0\x80"}));

    EXPECT_EQ(to_system_string("C:\\x"), std::u16string(u"C:\\x\0", 5));
    EXPECT_FALSE(to_system_string(std::string_view("a\0b", 3)).has_value());
}

TEST(QuotePath, EscapesSeparatorsQuotesControlsAndInvisibleCharacters) {
    EXPECT_EQ(quote_path("C:\\ProgramData\\orvex-service"),
              "\"C:\\\\ProgramData\\\\orvex-service\"");
    EXPECT_EQ(quote_path("a\"b"), "\"a\\\"b\"");
    EXPECT_EQ(quote_path(std::string_view("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
    EXPECT_EQ(quote_path("\x01\x7F"), "\"\\u{1}\\u{7f}\"");
    EXPECT_EQ(quote_path("\xC2\x85"), "\"\\u{85}\"");                            // C1 control
    EXPECT_EQ(quote_path("\xE2\x80\xA8\xEF\xBB\xBF"), "\"\\u{2028}\\u{feff}\""); // LS, BOM
    EXPECT_EQ(quote_path("\xE2\x80\x8B"), "\"\\u{200b}\"");                      // zero-width space
    EXPECT_EQ(quote_path("\xED\xB0\x80"), "\"\\u{dc00}\""); // unpaired surrogate
    EXPECT_EQ(quote_path("caf\xC3\xA9 \xF0\x9F\x98\x80"), "\"caf\xC3\xA9 \xF0\x9F\x98\x80\"");
}

TEST(QuotePath, NonPrintableIsDecidedByUnicode) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\u00A0b", "a\\u{a0}b"},                                   // no-break space (Zs)
        {"\u3000", "\\u{3000}"},                                     // ideographic space (Zs)
        {"\uE000\uF03A", "\\u{e000}\\u{f03a}"},                      // private use (Co)
        {"\u0378", "\\u{378}"},                                      // unassigned (Cn)
        {"\uFFFF\uFDD0\U0010FFFF", "\\u{ffff}\\u{fdd0}\\u{10ffff}"}, // noncharacters (Cn)
        {"\U000E0001", "\\u{e0001}"},                                // format (Cf)
        {"\u0301e\u0301", "\\u{301}e\u0301"}, // a mark joins only a printed character
        {"\t\u0301\\\u0301\x01\u0301", "\\t\\u{301}\\\\\\u{301}\\u{1}\\u{301}"},
        {"a b~\u4E2D\U0001F600", "a b~\u4E2D\U0001F600"},
    };
    for (const auto& [text, quoted] : cases) {
        EXPECT_EQ(quote_path(text), "\"" + quoted + "\"") << quoted;
    }
}

TEST(JoinPath, AddsOneSeparator) {
    EXPECT_EQ(join_path("C:\\ProgramData", "x"), "C:\\ProgramData\\x");
    EXPECT_EQ(join_path("C:\\", "x"), "C:\\x");
    EXPECT_EQ(join_path("C:/data/", "x"), "C:/data/x");
    EXPECT_EQ(join_path("", "x"), "x");
}

} // namespace
} // namespace orvex
