#pragma once
// The text of a SystemError: the system's message for its code, then " (os error {code})".

#include <string>

#include "common/error_chain.hpp"
#include "platform/system.hpp"

namespace orvex {

[[nodiscard]] std::string system_error_text(System& system, SystemError error);

// Whether an error means that the file or one of its directories does not exist.
[[nodiscard]] bool is_not_found(SystemError error);

} // namespace orvex
