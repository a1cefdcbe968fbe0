// Command-line access to the rig, for scripts/demo and scripts/bench.
//   rig_tool reset                       remove the service, the service directory, all records
//   rig_tool install-service [--no-start] [ARGS...]
//                                        install the stand-in with ARGS (and start it)
//   rig_tool seed-owners N               service, runtime and users directories with N stale owners
//                                        (half Unix, half unresolvable Windows SIDs)
//   rig_tool seed-demo                   two stale owners, one live owner, an active record
//   rig_tool show PATH                   the emulated owner and DACL of PATH
//   rig_tool set-owner PATH SID          record SID as the owner of the existing directory PATH
//   rig_tool state                       the service's state (4 running, 1 stopped, 0 absent)
#include <cstdio>
#include <string>

#include "wine/rig/scenario.hpp"

namespace {

using namespace orvex::rig;

std::string windows_sid(int n) {
    return "S-1-5-21-1111111111-2222222222-3333333333-" + std::to_string(100000 + n);
}

void base_directories() {
    make_directory(SERVICE_DIR, ADMINISTRATORS);
    make_directory(RUNTIME_DIR, ADMINISTRATORS);
    make_directory(USERS_DIR, LOCAL_SYSTEM); // as the service creates it
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"reset") {
        reset_world();
    } else if (command == L"install-service") {
        std::wstring arguments;
        bool start = true;
        for (int i = 2; i < argc; ++i) {
            if (std::wstring(argv[i]) == L"--no-start") {
                start = false;
                continue;
            }
            arguments += (arguments.empty() ? L"" : L" ") + std::wstring(argv[i]);
        }
        install_service(arguments, start);
        std::printf("service state: %lu\n", service_state());
    } else if (command == L"seed-owners" && argc > 2) {
        base_directories();
        const int count = std::stoi(argv[2]);
        for (int i = 0; i < count; ++i) {
            if (i % 2 == 0) {
                add_owner_directory(std::to_string(10000 + i),
                                    "{\"Unix\":{\"uid\":" + std::to_string(10000 + i) +
                                        ",\"gid\":100}}");
            } else {
                const std::string sid = windows_sid(i);
                add_owner_directory(windows_owner_key(sid),
                                    "{\"Windows\":{\"sid\":\"" + sid + "\"}}");
            }
        }
    } else if (command == L"seed-demo") {
        base_directories();
        const std::string gone = windows_sid(1);
        add_owner_directory("1000", R"({"Unix":{"uid":1000,"gid":1000}})");
        add_owner_directory(windows_owner_key(gone), "{\"Windows\":{\"sid\":\"" + gone + "\"}}");
        add_owner_directory(windows_owner_key("S-1-5-18"), R"({"Windows":["S-1-5-18"]})");
        write_file(SERVICE_DIR + L"\\active-owner.json",
                   "{\"owner_key\":\"" + windows_owner_key(gone) +
                       "\",\"identity\":{\"Windows\":{\"sid\":\"" + gone +
                       "\"}},\"app_data_root\":\"C:\\\\Users\\\\gone\"}");
    } else if (command == L"set-owner" && argc > 3) {
        if (!identity_of(std::wstring(argv[2]))) {
            std::fprintf(stderr, "rig_tool: %ls does not exist\n", argv[2]);
            return 1;
        }
        set_owner(argv[2], argv[3]);
    } else if (command == L"state") {
        std::printf("service state: %lu\n", service_state());
    } else if (command == L"show" && argc > 2) {
        const auto record = record_of(argv[2]);
        std::printf("%ls: owner %ls, DACL %ls\n", argv[2],
                    record ? record->owner.c_str() : L"(not recorded: Wine's answer)",
                    record ? record->dacl.c_str() : L"-");
    } else {
        std::fprintf(stderr,
                     "usage: rig_tool reset|install-service ARGS|seed-owners N|seed-demo|show PATH|"
                     "set-owner PATH SID|state\n");
        return 2;
    }
    return 0;
}
