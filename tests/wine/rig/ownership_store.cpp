#include "wine/rig/ownership_store.hpp"

#include <vector>

#include <winternl.h>

namespace orvex::rig {
namespace {

constexpr wchar_t KEY[] = L"Software\\OrvexRig\\Ownership";

std::wstring read_string(HKEY key, const wchar_t* name) {
    DWORD size = 0;
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        return {};
    }
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1);
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, buffer.data(), &size) !=
        ERROR_SUCCESS) {
        return {};
    }
    return std::wstring(buffer.data());
}

void write_string(HKEY key, const wchar_t* name, const std::wstring& value) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

} // namespace

std::optional<std::wstring> identity_of(HANDLE handle) {
    // The volume serial comes from the first handle asked about and is kept for the process: every
    // object of the rig lives on drive C:, and Wine answers a volume query through its mount
    // manager, a round trip to another process. The file index alone is a query of the handle.
    static std::optional<DWORD> serial;
    ULONGLONG index = 0;
    if (!serial) {
        BY_HANDLE_FILE_INFORMATION info{};
        if (!GetFileInformationByHandle(handle, &info)) {
            return std::nullopt;
        }
        serial = info.dwVolumeSerialNumber;
        index = (ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    } else {
        constexpr auto FILE_INTERNAL_INFORMATION = static_cast<FILE_INFORMATION_CLASS>(6);
        IO_STATUS_BLOCK io{};
        LARGE_INTEGER number{};
        if (NtQueryInformationFile(handle, &io, &number, sizeof(number),
                                   FILE_INTERNAL_INFORMATION) < 0) {
            return std::nullopt;
        }
        index = static_cast<ULONGLONG>(number.QuadPart);
    }
    wchar_t text[64];
    wsprintfW(text, L"%08lx-%08lx%08lx", *serial, static_cast<DWORD>(index >> 32),
              static_cast<DWORD>(index));
    return std::wstring(text);
}

std::optional<std::wstring> identity_of(const std::wstring& path) {
    HANDLE handle = CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    auto identity = identity_of(handle);
    CloseHandle(handle);
    return identity;
}

std::optional<OwnershipRecord> load_record(const std::wstring& identity) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, (std::wstring(KEY) + L"\\" + identity).c_str(), 0,
                      KEY_READ, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    OwnershipRecord record{read_string(key, L"Owner"), read_string(key, L"Dacl")};
    RegCloseKey(key);
    return record;
}

void store_record(const std::wstring& identity, const OwnershipRecord& record) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(KEY) + L"\\" + identity).c_str(), 0,
                        nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    write_string(key, L"Owner", record.owner);
    write_string(key, L"Dacl", record.dacl);
    RegCloseKey(key);
}

void forget_record(const std::wstring& identity) {
    RegDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(KEY) + L"\\" + identity).c_str());
}

std::vector<std::wstring> recorded_identities() {
    std::vector<std::wstring> identities;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return identities;
    }
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        identities.emplace_back(name, length);
    }
    RegCloseKey(key);
    return identities;
}

void forget_all_records() {
    RegDeleteTreeW(HKEY_CURRENT_USER, KEY);
}

} // namespace orvex::rig

namespace orvex::rig {
namespace {
constexpr wchar_t OBSERVED[] = L"Software\\OrvexRig\\Observed";
} // namespace

void store_observation(const wchar_t* name, DWORD value) {
    RegSetKeyValueW(HKEY_CURRENT_USER, OBSERVED, name, REG_DWORD, &value, sizeof(value));
}

std::optional<DWORD> load_observation(const wchar_t* name) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, OBSERVED, name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

void forget_observations() {
    RegDeleteTreeW(HKEY_CURRENT_USER, OBSERVED);
}

} // namespace orvex::rig
