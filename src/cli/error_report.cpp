#include "cli/error_report.hpp"

#include <variant>

#include "common/system_message.hpp"
#include "common/text.hpp"

namespace orvex {
namespace {

constexpr std::uint32_t UTF8_CODE_PAGE = 65001;

// Writes a cause, indenting every line after the first as far as the prefix reaches.
void append_indented(std::string& out, std::string_view prefix, std::string_view indent,
                     std::string_view text) {
    out += prefix;
    for (const char c : text) {
        out += c;
        if (c == '\n') {
            out += indent;
        }
    }
}

std::string right_aligned(std::size_t number, std::size_t width) {
    std::string digits = std::to_string(number);
    if (digits.size() < width) {
        digits.insert(0, width - digits.size(), ' ');
    }
    return digits;
}

} // namespace

std::string link_text(System& system, const ErrorLink& link) {
    return std::visit(
        [&](const auto& value) -> std::string {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return value;
            } else if constexpr (std::is_same_v<T, SystemError>) {
                return system_error_text(system, value);
            } else {
                return value.text();
            }
        },
        link);
}

std::string render_error_report(System& system, const ErrorChain& chain) {
    const auto& links = chain.links();
    std::string out = "Error: ";
    if (!links.empty()) {
        out += link_text(system, links.front());
    }
    const std::size_t causes = links.empty() ? 0 : links.size() - 1;
    if (causes > 0) {
        out += "\n\nCaused by:";
        const bool numbered = causes >= 2;
        for (std::size_t k = 1; k <= causes; ++k) {
            out += '\n';
            const std::string text = link_text(system, links[k]);
            if (numbered) {
                append_indented(out, right_aligned(k - 1, 5) + ": ", "       ", text);
            } else {
                append_indented(out, "    ", "    ", text);
            }
        }
    }
    out += '\n';
    return out;
}

bool write_text(System& system, StdStream stream, std::string_view utf8) {
    if (system.is_console(stream) && system.console_output_code_page() != UTF8_CODE_PAGE) {
        return system.write_console(stream, utf16_from_wtf8(utf8));
    }
    return system.write_file(stream, utf8);
}

void write_error_report(System& system, const ErrorChain& chain) {
    (void)write_text(system, StdStream::Error, render_error_report(system, chain));
}

} // namespace orvex
