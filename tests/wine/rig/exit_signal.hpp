#pragma once
// How the rig's launcher tells a program that ended by itself from one that was killed or
// crashed. Wine reports a process killed from outside (SIGKILL, or TerminateProcess with 0) with a
// status that may be 0, so the status alone cannot say. The shim, loaded into the program, sets a
// named event when the program exits by itself (its DLL_PROCESS_DETACH, which neither a kill nor a
// crash reaches); without it, the launcher reports KILLED_STATUS.

#include <windows.h>

#include <string>

namespace orvex::rig {

// A status that no run of the tool gives (it gives 0, 1 or 75), nor the launcher's own failures.
inline constexpr DWORD KILLED_STATUS = 124;

inline std::wstring exit_event_name(DWORD process_id) {
    return L"Local\\OrvexRigExited-" + std::to_wstring(process_id);
}

} // namespace orvex::rig
