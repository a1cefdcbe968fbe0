#pragma once
// What the tool relies on from the product's service and from a repair process, in one place.
// The service is registered under SERVICE_NAME, runs SERVICE_EXECUTABLE_NAME from the bin
// directory of the service directory, accepts the stop control, and holds a lock on a range at
// offset 0 of the owner lock file while it runs. A repair process holds a lock on the repair gate
// file in the bin directory while it works. The tool touches neither program's other files.

#include <string_view>

#include "state_dir/service_layout.hpp"

namespace orvex {

inline constexpr std::string_view SERVICE_NAME = "orvex_vpn_service";
inline constexpr std::string_view SERVICE_EXECUTABLE_NAME = "orvex-service.exe";

} // namespace orvex
