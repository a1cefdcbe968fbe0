// Test-only launcher: runs a program with the ownership shim loaded into it.
//   rig_launcher.exe SHIM.dll PROGRAM.exe [ARGUMENTS...]
// It starts the program suspended, loads the shim through a remote LoadLibraryW thread (the shim
// patches the program's imports while it loads), resumes the program, passes standard input,
// output and error through, and exits with the program's exit code, or with KILLED_STATUS when
// the program did not end by itself (see exit_signal.hpp).
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "wine/rig/exit_signal.hpp"

namespace {

std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring out = L"\"";
    for (const wchar_t c : argument) {
        if (c == L'"') {
            out += L'\\';
        }
        out += c;
    }
    return out + L"\"";
}

int fail(const char* what) {
    const std::string text =
        std::string("rig_launcher: ") + what + " failed (" + std::to_string(GetLastError()) + ")\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
    return 120;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return fail("usage: rig_launcher SHIM PROGRAM [ARGS...]; parsing");
    }
    wchar_t shim[MAX_PATH];
    if (GetFullPathNameW(argv[1], MAX_PATH, shim, nullptr) == 0) {
        return fail("GetFullPathNameW");
    }
    std::wstring command_line = quoted(argv[2]);
    for (int i = 3; i < argc; ++i) {
        command_line += L" " + quoted(argv[i]);
    }
    std::vector<wchar_t> mutable_line(command_line.begin(), command_line.end());
    mutable_line.push_back(L'\0');

    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(argv[2], mutable_line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                        nullptr, nullptr, &si, &pi)) {
        return fail("CreateProcessW");
    }

    const SIZE_T bytes = (lstrlenW(shim) + 1) * sizeof(wchar_t);
    void* remote =
        VirtualAllocEx(pi.hProcess, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (remote == nullptr || !WriteProcessMemory(pi.hProcess, remote, shim, bytes, nullptr)) {
        TerminateProcess(pi.hProcess, 121);
        return fail("writing the shim path");
    }
    auto* load_library = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
    HANDLE loader = CreateRemoteThread(pi.hProcess, nullptr, 0, load_library, remote, 0, nullptr);
    if (loader == nullptr) {
        TerminateProcess(pi.hProcess, 122);
        return fail("CreateRemoteThread");
    }
    WaitForSingleObject(loader, INFINITE);
    DWORD loaded = 0;
    GetExitCodeThread(loader, &loaded);
    CloseHandle(loader);
    if (loaded == 0) {
        TerminateProcess(pi.hProcess, 123);
        return fail("LoadLibraryW of the shim");
    }

    HANDLE exited =
        CreateEventW(nullptr, TRUE, FALSE, orvex::rig::exit_event_name(pi.dwProcessId).c_str());
    if (exited == nullptr) {
        TerminateProcess(pi.hProcess, 125);
        return fail("CreateEventW");
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    wchar_t peak_file[MAX_PATH];
    const bool measure = GetEnvironmentVariableW(L"ORVEX_RIG_PEAK_FILE", peak_file, MAX_PATH) > 0;
    // Wine keeps no counters for a process that has ended, so the peak is sampled while it runs.
    SIZE_T peak_working_set = 0;
    SIZE_T peak_private = 0;
    while (WaitForSingleObject(pi.hProcess, measure ? 2 : INFINITE) == WAIT_TIMEOUT) {
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof(counters);
        if (GetProcessMemoryInfo(pi.hProcess, &counters, sizeof(counters))) {
            peak_working_set =
                std::max({peak_working_set, counters.WorkingSetSize, counters.PeakWorkingSetSize});
            peak_private =
                std::max({peak_private, counters.PagefileUsage, counters.PeakPagefileUsage});
        }
    }
    DWORD status = 0;
    GetExitCodeProcess(pi.hProcess, &status);
    if (WaitForSingleObject(exited, 0) != WAIT_OBJECT_0) {
        status = orvex::rig::KILLED_STATUS;
    }
    CloseHandle(exited);
    if (measure) {
        const std::string text =
            std::to_string(peak_working_set) + " " + std::to_string(peak_private) + "\n";
        HANDLE file = CreateFileW(peak_file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }
    CloseHandle(pi.hProcess);
    return static_cast<int>(status);
}
