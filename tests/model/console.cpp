// The standard streams, the clock and the system messages.
#include "model/model_state.hpp"

namespace orvex {

using namespace model;

// ---- Console and messages ----

bool MemorySystem::is_console(StdStream stream) {
    return stream == StdStream::Error ? stderr_console : stdout_console;
}

std::uint32_t MemorySystem::console_output_code_page() {
    return code_page;
}

bool MemorySystem::write_console(StdStream stream, std::u16string_view text) {
    if (enter(Op::WriteConsole, stream == StdStream::Error ? "stderr" : "stdout") ||
        streams_broken) {
        return false;
    }
    (stream == StdStream::Error ? console_err : console_out) += text;
    return true;
}

bool MemorySystem::write_file(StdStream stream, std::string_view bytes) {
    if (enter(Op::WriteFile, stream == StdStream::Error ? "stderr" : "stdout") || streams_broken) {
        return false;
    }
    (stream == StdStream::Error ? err : out) += bytes;
    return true;
}

void MemorySystem::sleep(std::chrono::milliseconds duration) {
    enter(Op::Sleep, std::to_string(duration.count()));
    slept_ += duration;
    ++sleeps_;
}

std::uintptr_t MemorySystem::loaded_module(const std::u16string& name) {
    return (ntdll_loaded && from_system(name) == "NTDLL.DLL") ? NTDLL_MODULE : 0;
}

SysResult<std::u16string> MemorySystem::format_message(MessageFlags flags, std::uintptr_t module,
                                                       WinCode code) {
    if (flags.intersects(MessageFlags::FromModule) && module == NTDLL_MODULE) {
        if (auto it = ntdll_messages.find(code.value()); it != ntdll_messages.end()) {
            return it->second;
        }
    }
    if (auto it = system_messages.find(code.value()); it != system_messages.end()) {
        return it->second;
    }
    return sys_fail(WinCode::MessageNotFound);
}

std::optional<std::u16string> MemorySystem::program_data_folder() {
    return program_data;
}

} // namespace orvex
