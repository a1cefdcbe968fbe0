#include "wine/process.hpp"

#include <sddl.h>

#include <filesystem>
#include <vector>

namespace orvex::testing {
namespace {

HANDLE inheritable_temp_file(const std::wstring& path) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_TEMPORARY, nullptr);
}

std::string read_back(HANDLE file) {
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    return text;
}

} // namespace

std::wstring build_dir() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring self(path, length);
    return self.substr(0, self.find_last_of(L"\\/"));
}

ProcessResult run_process(const std::wstring& command_line) {
    const std::wstring base = build_dir() + L"\\capture-" + std::to_wstring(GetCurrentProcessId());
    HANDLE out = inheritable_temp_file(base + L".out");
    HANDLE err = inheritable_temp_file(base + L".err");
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    std::vector<wchar_t> mutable_line(command_line.begin(), command_line.end());
    mutable_line.push_back(L'\0');
    ProcessResult result;
    if (CreateProcessW(nullptr, mutable_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &si, &pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        GetExitCodeProcess(pi.hProcess, &result.status);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    result.out = read_back(out);
    result.err = read_back(err);
    CloseHandle(out);
    CloseHandle(err);
    DeleteFileW((base + L".out").c_str());
    DeleteFileW((base + L".err").c_str());
    return result;
}

LockHolder::LockHolder(const std::wstring& path, bool exclusive) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE child_in = nullptr;
    HANDLE child_out = nullptr;
    HANDLE our_out = nullptr;
    CreatePipe(&child_in, &input_, &sa, 0);
    CreatePipe(&our_out, &child_out, &sa, 0);
    SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(our_out, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = child_in;
    si.hStdOutput = child_out;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring line = L"\"" + build_dir() + L"\\lock_holder.exe\" \"" + path + L"\" " +
                        (exclusive ? L"exclusive" : L"lock");
    std::vector<wchar_t> mutable_line(line.begin(), line.end());
    mutable_line.push_back(L'\0');
    if (CreateProcessW(nullptr, mutable_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &si, &process_)) {
        CloseHandle(process_.hThread);
        process_.hThread = nullptr;
    }
    CloseHandle(child_in);
    CloseHandle(child_out);
    char buffer[16] = {};
    DWORD read = 0;
    ready_ = ReadFile(our_out, buffer, 5, &read, nullptr) && read == 5 &&
             std::string(buffer, 5) == "ready";
    CloseHandle(our_out);
}

void LockHolder::release() {
    if (input_ != nullptr) {
        CloseHandle(input_);
        input_ = nullptr;
    }
    if (process_.hProcess != nullptr) {
        WaitForSingleObject(process_.hProcess, 10000);
        CloseHandle(process_.hProcess);
        process_.hProcess = nullptr;
    }
}

LockHolder::~LockHolder() {
    release();
}

void remove_tree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    // A link (junction, symbolic link) goes as itself: nothing it leads to is entered or changed.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        if (!RemoveDirectoryW(path.c_str())) {
            DeleteFileW(path.c_str());
        }
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL); // read-only files, too
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..") {
                remove_tree(path + L"\\" + name);
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

bool make_private_directory(const std::wstring& path, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    const bool made = CreateDirectoryW(path.c_str(), &attributes) != 0;
    LocalFree(descriptor);
    return made;
}

const char* wine_version() {
    using WineVersion = const char*(CDECL*)();
    const auto version = reinterpret_cast<WineVersion>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    return version != nullptr ? version() : nullptr;
}

OSVERSIONINFOW windows_version() {
    using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (const auto get = reinterpret_cast<GetVersion>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")))) {
        get(&version);
    }
    return version;
}

bool runs_as_local_system() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    alignas(8) BYTE buffer[256];
    DWORD size = 0;
    const bool read = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) != 0;
    CloseHandle(token);
    return read &&
           IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid) != 0;
}

} // namespace orvex::testing
