#pragma once
// Starting Windows programs from the Wine tests: a run with captured output, and a background
// helper that holds a lock until told to let go.

#include <windows.h>

#include <string>

namespace orvex::testing {

struct ProcessResult {
    std::string out;
    std::string err;
    DWORD status = 0xFFFFFFFF;
};

// The directory that holds the running test program (and the programs built beside it).
std::wstring build_dir();

// Runs `command_line` to completion with stdout and stderr captured byte for byte.
ProcessResult run_process(const std::wstring& command_line);

// lock_holder.exe, started in the background. It opens `path` (with sharing, or without any with
// `exclusive`), locks a range at offset 0 unless `exclusive`, prints "ready" and holds on until
// its standard input is closed.
class LockHolder {
  public:
    LockHolder(const std::wstring& path, bool exclusive);
    ~LockHolder();
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    bool ready() const { return ready_; }
    void release();

  private:
    PROCESS_INFORMATION process_{};
    HANDLE input_ = nullptr;
    bool ready_ = false;
};

// Removes a directory tree if it exists, links as themselves (never what they lead to) and
// read-only files too. Test set-up and clean-up only.
void remove_tree(const std::wstring& path);

// Creates a new directory with the descriptor of `sddl`; by default one that only LocalSystem,
// Administrators and its owner may use, so that no ordinary user can plant anything in it. False
// if it exists already or cannot be made.
bool make_private_directory(
    const std::wstring& path,
    const wchar_t* sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)");

// The version of Wine running this process, or nullptr on Windows.
const char* wine_version();
// Windows' own version (RtlGetVersion, which no compatibility shim alters).
OSVERSIONINFOW windows_version();
// Whether this process runs as LocalSystem.
bool runs_as_local_system();

} // namespace orvex::testing
