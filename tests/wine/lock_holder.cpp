// Test helper: holds a file the way another process would, until its standard input closes.
//   lock_holder.exe PATH lock       open sharing read/write/delete, lock bytes [0, 1)
//   lock_holder.exe PATH exclusive  open without sharing, no lock
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 2;
    }
    const bool exclusive = std::wcscmp(argv[2], L"exclusive") == 0;
    HANDLE file =
        CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE,
                    exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 3;
    }
    if (!exclusive && !LockFile(file, 0, 0, 1, 0)) {
        return 4;
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "ready", 5, &written, nullptr);
    char byte = 0;
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr) && read > 0) {
    }
    CloseHandle(file);
    return 0;
}
