#include "support.hpp"

namespace orvex {
namespace {

TEST(ErrorReport, RendersOneTwoThreeAndElevenLinks) {
    MemorySystem system;
    EXPECT_EQ(render_error_report(system, ErrorChain::message("plain")), "Error: plain\n");
    EXPECT_EQ(
        render_error_report(system, ErrorChain::context("ctx", SystemError::from_code(WinCode{5}))),
        "Error: ctx\n\nCaused by:\n    Access denied. (os error 5)\n");
    EXPECT_EQ(render_error_report(system,
                                  ErrorChain::from_links({std::string("head"), std::string("first"),
                                                          SystemError::from_code(WinCode{2})})),
              "Error: head\n\nCaused by:\n    0: first\n    1: File not found. (os error 2)\n");

    std::vector<ErrorLink> links{std::string("head")};
    for (int i = 0; i < 10; ++i) {
        links.emplace_back("cause " + std::to_string(i));
    }
    const std::string report =
        render_error_report(system, ErrorChain::from_links(std::move(links)));
    EXPECT_TRUE(report.starts_with("Error: head\n\nCaused by:\n    0: cause 0\n")) << report;
    EXPECT_TRUE(report.ends_with("\n    8: cause 8\n    9: cause 9\n")) << report;
}

TEST(ErrorReport, IndentsLineBreaksInCausesButNotInTheHead) {
    MemorySystem system;
    EXPECT_EQ(render_error_report(
                  system, ErrorChain::from_links({std::string("a\nb"), std::string("c\nd")})),
              "Error: a\nb\n\nCaused by:\n    c\n    d\n");
    EXPECT_EQ(
        render_error_report(system, ErrorChain::from_links({std::string("h"), std::string("c\nd"),
                                                            std::string("e\n")})),
        "Error: h\n\nCaused by:\n    0: c\n       d\n    1: e\n       \n");
    EXPECT_EQ(render_error_report(system, ErrorChain::context("ctx", JsonError{"bad", 2, 7})),
              "Error: ctx\n\nCaused by:\n    bad at line 2 column 7\n");
}

TEST(SystemErrorText, LooksUpNtStatusCodesInNtdllWithTheMarkerCleared) {
    MemorySystem system;
    system.ntdll_messages[0xC0000022] = u"{Access Denied}\r\n";
    const auto code = static_cast<std::int32_t>(0xD0000022);
    EXPECT_EQ(system_error_text(system, SystemError{code}),
              "{Access Denied} (os error " + std::to_string(code) + ")");

    system.ntdll_loaded = false; // looked up unchanged in the system table, and not found there
    EXPECT_EQ(system_error_text(system, SystemError{code}),
              "OS Error " + std::to_string(code) +
                  " (FormatMessageW() returned error 317) (os error " + std::to_string(code) + ")");
}

TEST(SystemErrorText, FallbackTextsAndTrimming) {
    MemorySystem system;
    EXPECT_EQ(system_error_text(system, SystemError{4242}),
              "OS Error 4242 (FormatMessageW() returned error 317) (os error 4242)");
    system.system_messages[77] = std::u16string{u'x', char16_t(0xD800)};
    EXPECT_EQ(system_error_text(system, SystemError{77}),
              "OS Error 77 (FormatMessageW() returned invalid UTF-16) (os error 77)");
    system.system_messages[78] = u"  spaced \t\f\r\n ";
    EXPECT_EQ(system_error_text(system, SystemError{78}), "  spaced (os error 78)");
    EXPECT_EQ(system_error_text(system, SystemError::fixed(NUL_IN_PATH_DESCRIPTION)),
              "path contains a NUL character");
}

TEST(WriteErrorReport, UsesWriteConsoleOnlyForANonUtf8Console) {
    MemorySystem system;
    const auto chain = ErrorChain::message("caf\xC3\xA9");
    write_error_report(system, chain);
    EXPECT_EQ(system.err, "Error: caf\xC3\xA9\n");

    MemorySystem console;
    console.stderr_console = true;
    write_error_report(console, chain);
    EXPECT_EQ(console.console_err, u"Error: caf\u00e9\n");
    EXPECT_EQ(console.err, "");

    MemorySystem utf8_console;
    utf8_console.stderr_console = true;
    utf8_console.code_page = 65001;
    write_error_report(utf8_console, chain);
    EXPECT_EQ(utf8_console.err, "Error: caf\xC3\xA9\n");
}

} // namespace
} // namespace orvex
