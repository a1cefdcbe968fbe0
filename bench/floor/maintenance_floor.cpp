// The floor for stale-owner maintenance: a program that makes only the system calls the work
// needs, so that scripts/bench can set the tool's time beside it. For every entry of the users
// directory it opens the entry relative to the directory's handle, reads its own attributes once,
// reads owner.json relative to it, converts and looks up a Windows SID, and removes a stale tree
// through handles: one listing per directory, each child opened relative to its parent and
// deleted with the classic disposition, the directory itself as soon as its batch is done. It
// checks nothing else: no ownership, no lock, no names, no bounds.
//
//   maintenance_floor.exe                    exits at once (the cost of starting a process)
//   maintenance_floor.exe USERS [OPTIONS]    removes the stale owners under USERS, prints
//                                            "removed N"
// Each option adds or removes one kind of call, so the cost of that call can be measured:
//   --ex            tries FileDispositionInfoEx (POSIX semantics) on every object first
//   --relist        lists each directory until ERROR_NO_MORE_FILES before removing it
//   --second-read   reads owner.json until a read returns nothing
//   --object-attributes
//                   reads the attributes of every opened object, not only of the owner entry
//   --known-layout  lists nothing below the users directory: the tree's names are known
#include <windows.h>

#include <sddl.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <string_view>

namespace {

struct Options {
    bool ex = false;
    bool relist = false;
    bool second_read = false;
    bool object_attributes = false;
    bool known_layout = false;
};
Options options;

constexpr auto DISPOSITION_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr ACCESS_MASK TREE_ACCESS =
    DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

// NtCreateFile of one name relative to an open directory, as the tool opens it.
HANDLE open_relative(HANDLE directory, std::wstring_view name, ACCESS_MASK access) {
    UNICODE_STRING unicode{};
    unicode.Buffer = const_cast<PWSTR>(name.data());
    unicode.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    unicode.MaximumLength = unicode.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicode, 0, directory, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    constexpr ULONG FILE_OPEN_DISPOSITION = 1;
    constexpr ULONG OPEN_OPTIONS = 0x00200000 | 0x00000020; // as itself, synchronous
    const NTSTATUS status = NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr,
                                         0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         FILE_OPEN_DISPOSITION, OPEN_OPTIONS, nullptr, 0);
    return status < 0 ? nullptr : handle;
}

bool is_directory(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof(info)) &&
           (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Marks an open object for deletion; false with the last error set when the system refuses.
bool mark_deleted(HANDLE handle) {
    if (options.ex) {
        ULONG flags = 0x1 | 0x2 | 0x10; // delete, POSIX semantics, ignoring read-only
        if (SetFileInformationByHandle(handle, DISPOSITION_EX, &flags, sizeof(flags))) {
            return true;
        }
    }
    FILE_DISPOSITION_INFO info{TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof(info)) != FALSE;
}

// Calls `visit(name, attributes)` for each entry of one batch; false when the listing has ended.
template <class Visit> bool list_batch(HANDLE directory, Visit visit) {
    alignas(8) BYTE buffer[64 * 1024]; // one per level: the walk lists a child inside a batch
    if (!GetFileInformationByHandleEx(directory, FileFullDirectoryInfo, buffer, sizeof(buffer))) {
        return false;
    }
    for (DWORD offset = 0;;) {
        const auto* info = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer + offset);
        const std::wstring_view name(info->FileName, info->FileNameLength / sizeof(wchar_t));
        if (name != L"." && name != L"..") {
            visit(name, info->FileAttributes);
        }
        if (info->NextEntryOffset == 0) {
            return true;
        }
        offset += info->NextEntryOffset;
    }
}

bool remove_tree(HANDLE directory);

bool remove_child(HANDLE directory, std::wstring_view name, DWORD listed_attributes) {
    HANDLE child = open_relative(directory, name, TREE_ACCESS);
    if (child == nullptr) {
        return false;
    }
    const bool enter = options.object_attributes
                           ? is_directory(child)
                           : (listed_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                 (listed_attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    const bool removed = enter ? remove_tree(child) : mark_deleted(child);
    CloseHandle(child);
    return removed;
}

// Empties and removes an open directory: after each batch the directory is marked for deletion,
// and listed again only when it is not empty yet.
bool remove_tree(HANDLE directory) {
    bool ok = true;
    const auto visit = [&](std::wstring_view name, DWORD attributes) {
        ok = remove_child(directory, name, attributes) && ok;
    };
    if (options.relist) {
        while (list_batch(directory, visit)) {
        }
        return ok && mark_deleted(directory);
    }
    while (list_batch(directory, visit)) {
        if (mark_deleted(directory)) {
            return ok;
        }
        if (GetLastError() != ERROR_DIR_NOT_EMPTY) {
            return false;
        }
    }
    return false;
}

bool remove_known_layout(HANDLE owner) {
    const auto remove_file = [](HANDLE directory, std::wstring_view name) {
        HANDLE file = open_relative(directory, name, DELETE | FILE_READ_ATTRIBUTES);
        const bool removed = file != nullptr && mark_deleted(file);
        CloseHandle(file);
        return removed;
    };
    HANDLE state = open_relative(owner, L"state", TREE_ACCESS);
    const bool removed = state != nullptr && remove_file(state, L"settings.dat") &&
                         mark_deleted(state) && remove_file(owner, L"owner.json");
    CloseHandle(state);
    return removed && mark_deleted(owner);
}

// Whether owner.json names a Unix owner or a SID without an account here.
bool is_stale(HANDLE owner) {
    HANDLE file = open_relative(owner, L"owner.json", GENERIC_READ);
    if (file == nullptr) {
        return false;
    }
    if (options.object_attributes && is_directory(file)) {
        CloseHandle(file);
        return false;
    }
    char text[4096];
    DWORD size = 0;
    const BOOL read = ReadFile(file, text, sizeof(text) - 1, &size, nullptr);
    if (read && options.second_read) {
        char rest[4096];
        DWORD more = 0;
        ReadFile(file, rest, sizeof(rest), &more, nullptr);
    }
    CloseHandle(file);
    if (!read) {
        return false;
    }
    const std::string_view document(text, size);
    if (document.find("\"Unix\"") != std::string_view::npos) {
        return true;
    }
    const std::string_view key = "\"sid\":\"";
    const auto start = document.find(key);
    const auto end =
        start == std::string_view::npos ? start : document.find('"', start + key.size());
    if (end == std::string_view::npos) {
        return false;
    }
    const std::string_view sid = document.substr(start + key.size(), end - start - key.size());
    const std::wstring wide(sid.begin(), sid.end());
    PSID converted = nullptr;
    if (!ConvertStringSidToSidW(wide.c_str(), &converted)) {
        return false;
    }
    DWORD name_length = 0;
    DWORD domain_length = 0;
    SID_NAME_USE use{};
    LookupAccountSidW(nullptr, converted, nullptr, &name_length, nullptr, &domain_length, &use);
    const bool unmapped = GetLastError() == ERROR_NONE_MAPPED;
    LocalFree(converted);
    return unmapped;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return 0;
    }
    for (int i = 2; i < argc; ++i) {
        const std::wstring_view option = argv[i];
        options.ex |= option == L"--ex";
        options.relist |= option == L"--relist";
        options.second_read |= option == L"--second-read";
        options.object_attributes |= option == L"--object-attributes";
        options.known_layout |= option == L"--known-layout";
    }
    HANDLE users = CreateFileW(argv[1], FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (users == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open the users directory (%lu)\n", GetLastError());
        return 1;
    }
    int removed = 0;
    int failed = 0;
    while (list_batch(users, [&](std::wstring_view name, DWORD attributes) {
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return;
        }
        HANDLE owner = open_relative(users, name, TREE_ACCESS);
        if (owner == nullptr) {
            ++failed;
            return;
        }
        if (is_directory(owner) && is_stale(owner)) {
            const bool done =
                options.known_layout ? remove_known_layout(owner) : remove_tree(owner);
            ++(done ? removed : failed);
        }
        CloseHandle(owner);
    })) {
    }
    CloseHandle(users);
    std::printf("removed %d\n", removed);
    return failed == 0 ? 0 : 1;
}
