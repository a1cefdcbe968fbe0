#include "state_dir/service_layout.hpp"

#include "common/text.hpp"

namespace orvex {
namespace {

std::string runtime_file(const std::string& runtime_dir, std::string_view suffix) {
    return join_path(runtime_dir, std::string(SERVICE_DIR_NAME) + std::string(suffix));
}

} // namespace

std::string find_service_dir(System& system) {
    const auto folder = system.program_data_folder();
    // An empty answer is no path: joined, it would make the service directory relative to
    // wherever the elevated tool happens to run.
    const std::string program_data =
        folder && !folder->empty() ? wtf8_from_utf16(*folder) : std::string(PROGRAM_DATA_FALLBACK);
    return join_path(program_data, SERVICE_DIR_NAME);
}

ServiceLayout layout_for(std::string service_dir) {
    ServiceLayout layout;
    layout.runtime_dir = join_path(service_dir, "runtime");
    layout.pipe_name = std::string(PIPE_NAME);
    layout.owner_lock_path = runtime_file(layout.runtime_dir, ".owner.lock");
    layout.pid_path = runtime_file(layout.runtime_dir, ".pid");
    layout.core_json_path = runtime_file(layout.runtime_dir, ".core.json");
    layout.desired_state_path = join_path(service_dir, "desired-state.json");
    layout.service_dir = std::move(service_dir);
    return layout;
}

ServiceLayout service_layout(System& system) {
    return layout_for(find_service_dir(system));
}

std::string bin_dir(const ServiceLayout& layout) {
    return join_path(layout.service_dir, BIN_DIR_NAME);
}
std::string users_dir(const ServiceLayout& layout) {
    return join_path(layout.service_dir, USERS_DIR_NAME);
}
std::string active_owner_path(const ServiceLayout& layout) {
    return join_path(layout.service_dir, ACTIVE_OWNER_FILE_NAME);
}

} // namespace orvex
