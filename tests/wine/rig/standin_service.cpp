// Test-only stand-in for the product's service, registered as orvex_vpn_service and run from the
// product's executable path. Its behaviour comes from its arguments:
//   --stop=prompt       stop at once when asked (the default)
//   --stop=delay:N      report STOP_PENDING, then stop after N milliseconds
//   --stop=ignore       accept the stop control and keep running
//   --stop=refuse       do not accept the stop control at all (the manager answers 1052)
//   --hold-owner-lock   lock bytes [0, 1) of the owner lock file while running
//   --run=PROGRAM --run-arg=ARGUMENT --output=FILE
//                       run PROGRAM with ARGUMENT as the service's account (LocalSystem), its
//                       output and then "status: N" written to FILE, and stop
// Whatever the mode, it stops when the named event "orvex_standin_quit" is set (the rig's reset).
#include <windows.h>

#include <string>

namespace {

SERVICE_STATUS_HANDLE status_handle = nullptr;
SERVICE_STATUS status{};
HANDLE stop_event = nullptr;
std::wstring stop_mode = L"prompt";
DWORD stop_delay = 0;
bool hold_owner_lock = false;
std::wstring run_program;
std::wstring run_argument;
std::wstring run_output;

void report(DWORD state) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        (state == SERVICE_RUNNING && stop_mode != L"refuse") ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwWaitHint = state == SERVICE_STOP_PENDING ? stop_delay + 1000 : 0;
    SetServiceStatus(status_handle, &status);
}

DWORD WINAPI control(DWORD code, DWORD, LPVOID, LPVOID) {
    if (code == SERVICE_CONTROL_STOP) {
        if (stop_mode == L"ignore") {
            return NO_ERROR;
        }
        report(SERVICE_STOP_PENDING);
        SetEvent(stop_event);
    }
    return NO_ERROR;
}

void parse(DWORD argc, LPWSTR* argv) {
    for (DWORD i = 0; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg.rfind(L"--stop=delay:", 0) == 0) {
            stop_mode = L"delay";
            stop_delay = static_cast<DWORD>(std::stoul(arg.substr(13)));
        } else if (arg.rfind(L"--stop=", 0) == 0) {
            stop_mode = arg.substr(7);
        } else if (arg == L"--hold-owner-lock") {
            hold_owner_lock = true;
        } else if (arg.rfind(L"--run=", 0) == 0) {
            run_program = arg.substr(6);
        } else if (arg.rfind(L"--run-arg=", 0) == 0) {
            run_argument = arg.substr(10);
        } else if (arg.rfind(L"--output=", 0) == 0) {
            run_output = arg.substr(9);
        }
    }
}

// Runs the program once, its standard output and error going to the output file, and appends its
// exit status.
void run_once() {
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE output = CreateFileW(run_output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = output;
    si.hStdError = output;
    PROCESS_INFORMATION pi{};
    std::wstring line = L"\"" + run_program + L"\" " + run_argument;
    DWORD status = 0xFFFFFFFF;
    if (CreateProcessW(run_program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        GetExitCodeProcess(pi.hProcess, &status);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    const std::string tail = "status: " + std::to_string(status) + "\n";
    DWORD written = 0;
    WriteFile(output, tail.data(), static_cast<DWORD>(tail.size()), &written, nullptr);
    CloseHandle(output);
}

void WINAPI service_main(DWORD, LPWSTR*) {
    status_handle = RegisterServiceCtrlHandlerExW(L"orvex_vpn_service", control, nullptr);
    if (!run_program.empty()) {
        report(SERVICE_RUNNING);
        run_once();
        report(SERVICE_STOPPED);
        return;
    }
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE lock = INVALID_HANDLE_VALUE;
    if (hold_owner_lock) {
        lock = CreateFileW(L"C:\\ProgramData\\orvex-service\\runtime\\orvex-service.owner.lock",
                           GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, 0, nullptr);
        if (lock != INVALID_HANDLE_VALUE) {
            LockFile(lock, 0, 0, 1, 0);
        }
    }
    report(SERVICE_RUNNING);
    // The rig's clean-up ends even a service that ignores or refuses the stop control this way.
    HANDLE quit = CreateEventW(nullptr, TRUE, FALSE, L"orvex_standin_quit");
    HANDLE events[] = {stop_event, quit};
    WaitForMultipleObjects(2, events, FALSE, INFINITE);
    CloseHandle(quit);
    if (stop_mode == L"delay") {
        Sleep(stop_delay);
    }
    if (lock != INVALID_HANDLE_VALUE) {
        CloseHandle(lock);
    }
    report(SERVICE_STOPPED);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    parse(static_cast<DWORD>(argc), argv);
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L"orvex_vpn_service"), service_main},
                                    {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
