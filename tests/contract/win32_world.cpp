// The contract's world on Windows; the cases themselves are in win32_contract.cpp.
#include "contract/win32_world.hpp"

#include <windows.h>

#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <system_error>

#include "wine/process.hpp"

namespace orvex::contract {
namespace {

const wchar_t* wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}
HANDLE as_handle(std::uintptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

// The scratch directory of the world alive now.
std::u16string current_scratch;

} // namespace

std::u16string Win32World::scratch() {
    return current_scratch;
}

// A new, private directory for each world: named after the process and the moment, refused if it
// exists already, and usable by no ordinary user, who could otherwise plant a junction in it for
// the clean-up, which runs elevated, to follow.
Win32World::Win32World() {
    const std::string name = "C:\\orvex-contract-scratch-" + std::to_string(GetCurrentProcessId()) +
                             "-" + std::to_string(GetTickCount64());
    current_scratch = std::u16string(name.begin(), name.end());
    if (!testing::make_private_directory(wide(current_scratch))) {
        ADD_FAILURE() << "cannot create a fresh scratch directory: " << GetLastError();
    }
}

Win32World::~Win32World() {
    for (const std::uintptr_t handle : held_) {
        CloseHandle(as_handle(handle));
    }
    testing::remove_tree(wide(current_scratch));
}

std::uintptr_t Win32World::hold(const std::u16string& path, ShareMode share, Access access) {
    HANDLE handle = CreateFileW(wide(path), access.bits(), share.bits(), nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return 0;
    }
    return held_.emplace_back(reinterpret_cast<std::uintptr_t>(handle));
}

SysResult<void> Win32World::lock_held(std::uintptr_t handle, std::uint64_t offset,
                                      std::uint64_t length) {
    if (!LockFile(as_handle(handle), static_cast<DWORD>(offset), static_cast<DWORD>(offset >> 32),
                  static_cast<DWORD>(length), static_cast<DWORD>(length >> 32))) {
        return sys_fail(WinCode(GetLastError()));
    }
    return {};
}

void Win32World::release(std::uintptr_t handle) {
    std::erase(held_, handle);
    CloseHandle(as_handle(handle));
}

static bool under_wine() {
    return testing::wine_version() != nullptr;
}

// Wine 8 lets a delete-pending object be opened (and reports 183 for a new directory of its name)
// where Windows fails with STATUS_DELETE_PENDING.
bool Win32World::refuses_delete_pending_opens() {
    return !under_wine();
}

// Wine 8 answers attribute queries whatever access the handle holds.
bool Win32World::checks_attribute_access() {
    return !under_wine();
}

// Wine 8 keeps no owners or DACLs: it reports the Wine user as every file's owner.
bool Win32World::keeps_security() {
    return !under_wine();
}

// A symbolic link needs developer mode or the privilege to make one; Wine 8's call makes nothing
// and says it succeeded, so the link is looked for afterwards.
bool Win32World::make_symlink(const std::u16string& path, const std::u16string& target,
                              bool directory) {
    CreateSymbolicLinkW(wide(path), wide(target),
                        (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) |
                            SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    const DWORD attributes = GetFileAttributesW(wide(path));
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// RemoveDirectoryW and DeleteFileW try POSIX semantics first from Windows 10 1903 (build 18362).
bool Win32World::removes_with_posix_semantics() {
    if (under_wine()) {
        return false;
    }
    const OSVERSIONINFOW version = testing::windows_version();
    return version.dwMajorVersion > 10 || version.dwBuildNumber >= 18362;
}

// Wine 8 places zero-length locks otherwise than [MS-FSA] 2.1.4.10 (see the case).
bool Win32World::empty_locks_have_an_end() {
    return !under_wine();
}

bool Win32World::runs_as_local_system() {
    return testing::runs_as_local_system();
}

// A junction, as any user may make one on NTFS. Wine refuses FSCTL_SET_REPARSE_POINT with
// ERROR_NOT_SUPPORTED, and then this reports that links cannot be made.
bool Win32World::make_junction(const std::u16string& path, const std::u16string& target) {
    if (!CreateDirectoryW(wide(path), nullptr)) {
        return false;
    }
    HANDLE handle = CreateFileW(wide(path), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool made = false;
    if (handle != INVALID_HANDLE_VALUE) {
        // REPARSE_DATA_BUFFER for a mount point, which MinGW declares only for drivers: the
        // NT form of the target ("\??\C:\..."), then the form shown to users, each with a NUL
        // that the lengths leave out.
        std::u16string target_text(target);
        if (!target_text.empty() && target_text.back() == u'\0') {
            target_text.pop_back();
        }
        const std::u16string substitute = u"\\??\\" + target_text;
        std::vector<std::uint16_t> data;
        const auto put = [&](std::size_t value) {
            data.push_back(static_cast<std::uint16_t>(value));
        };
        const std::size_t names = (substitute.size() + 1 + target_text.size() + 1) * 2;
        put(0); // ReparseTag, two halves, copied in below
        put(0);
        put(8 + names); // ReparseDataLength: the four fields that follow, and the names
        put(0);         // Reserved
        put(0);         // SubstituteNameOffset
        put(substitute.size() * 2);
        put((substitute.size() + 1) * 2); // PrintNameOffset
        put(target_text.size() * 2);
        data.insert(data.end(), substitute.begin(), substitute.end());
        data.push_back(0);
        data.insert(data.end(), target_text.begin(), target_text.end());
        data.push_back(0);
        const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
        std::memcpy(data.data(), &tag, sizeof(tag));
        DWORD returned = 0;
        made = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, data.data(),
                               static_cast<DWORD>(data.size() * 2), nullptr, 0, &returned,
                               nullptr) != 0;
        CloseHandle(handle);
    }
    if (!made) {
        RemoveDirectoryW(wide(path));
    }
    return made;
}

} // namespace orvex::contract
