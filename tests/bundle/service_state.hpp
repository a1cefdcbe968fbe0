#pragma once
// Watching a service's state, for the bundle's programs.

#include <windows.h>

namespace orvex::bundle {

// The service's current state, 0 if it cannot be queried.
inline DWORD state_of(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

// Waits up to `seconds` for the service to reach `state`.
inline bool wait_for(SC_HANDLE service, DWORD state, int seconds = 30) {
    for (int i = 0; i < seconds * 40 && state_of(service) != state; ++i) {
        Sleep(25);
    }
    return state_of(service) == state;
}

} // namespace orvex::bundle
