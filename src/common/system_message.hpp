#pragma once
// The text of a SystemError: the system's message for its code, then " (os error {code})".

#include <string>

#include "common/error_chain.hpp"
#include "platform/system.hpp"

namespace orvex {

[[nodiscard]] std::string system_error_text(System& system, SystemError error);

} // namespace orvex
