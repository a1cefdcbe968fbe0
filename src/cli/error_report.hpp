#pragma once
// The error report: how a failed run's ErrorChain is written to standard error.

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error_chain.hpp"
#include "common/system_message.hpp"
#include "platform/system.hpp"

namespace orvex {

// The text of one link of a chain.
[[nodiscard]] std::string link_text(System& system, const ErrorLink& link);

// The full report: "Error: " and the head, then a "Caused by:" section when there are causes,
// numbered from 0 when there are two or more.
[[nodiscard]] std::string render_error_report(System& system, const ErrorChain& chain);

// Writes UTF-8 text to a standard stream: through WriteConsoleW when the stream is a console whose
// output code page is not UTF-8, as bytes otherwise. Returns false when the write failed.
bool write_text(System& system, StdStream stream, std::string_view utf8);

// Renders the chain and writes it to standard error. A failed write is ignored.
void write_error_report(System& system, const ErrorChain& chain);

} // namespace orvex
