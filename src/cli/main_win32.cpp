// orvex-uninstall.exe: removes the product's service, or with --cleanup-stale-owners removes the
// state of owners whose account no longer exists.
#include <string>
#include <vector>

#include "cli/entry.hpp"
#include "platform/win32/win32_system.hpp"

int wmain(int argc, wchar_t** argv) {
    // An elevated tool started from a download folder must not load DLLs planted beside it.
    (void)orvex::restrict_dll_search_to_system32();
    // Junctions that an ordinary user made are refused outright where the system can do that;
    // everything below verifies links itself, so older systems (and Wine) refusing is harmless.
    (void)orvex::enforce_redirection_trust();

    std::vector<std::u16string> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        arguments.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    }
    orvex::Win32System system;
    return orvex::run_entry(system, arguments);
}
