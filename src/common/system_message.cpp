#include "common/system_message.hpp"

#include "common/text.hpp"

namespace orvex {
namespace {

constexpr std::uint32_t NT_STATUS_MARKER = 0x10000000;

std::string trim_ascii_whitespace_end(std::string text) {
    while (!text.empty()) {
        const char c = text.back();
        if (c != '\t' && c != '\n' && c != '\f' && c != '\r' && c != ' ') {
            break;
        }
        text.pop_back();
    }
    return text;
}

std::string message_for_code(System& system, std::int32_t code) {
    auto number = static_cast<std::uint32_t>(code);
    MessageFlags flags = MessageFlags::FromSystem | MessageFlags::IgnoreInserts;
    std::uintptr_t module = 0;
    if ((number & NT_STATUS_MARKER) != 0) {
        module = system.loaded_module(u"NTDLL.DLL");
        if (module != 0) {
            number &= ~NT_STATUS_MARKER;
            flags = flags | MessageFlags::FromModule;
        }
    }
    auto text = system.format_message(flags, module, WinCode(number));
    if (!text) {
        return "OS Error " + std::to_string(code) + " (FormatMessageW() returned error " +
               std::to_string(static_cast<std::int32_t>(text.error().value())) + ")";
    }
    if (!is_valid_unicode(std::u16string_view{*text})) {
        return "OS Error " + std::to_string(code) + " (FormatMessageW() returned invalid UTF-16)";
    }
    return trim_ascii_whitespace_end(wtf8_from_utf16(*text));
}

} // namespace

std::string system_error_text(System& system, SystemError error) {
    if (error.description != nullptr) {
        return error.description;
    }
    return message_for_code(system, error.code) + " (os error " + std::to_string(error.code) + ")";
}

} // namespace orvex
