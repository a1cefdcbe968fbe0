#pragma once
// Windows constants used by the logic, so that it needs no <windows.h>.

#include <cstdint>

#include "platform/system.hpp"

namespace orvex::win {

inline constexpr WinCode ERROR_FILE_NOT_FOUND = 2;
inline constexpr WinCode ERROR_PATH_NOT_FOUND = 3;
inline constexpr WinCode ERROR_ACCESS_DENIED = 5;
inline constexpr WinCode ERROR_INVALID_DRIVE = 15;
inline constexpr WinCode ERROR_NO_MORE_FILES = 18;
inline constexpr WinCode ERROR_SHARING_VIOLATION = 32;
inline constexpr WinCode ERROR_LOCK_VIOLATION = 33;
inline constexpr WinCode ERROR_BAD_NETPATH = 53;
inline constexpr WinCode ERROR_BAD_NET_NAME = 67;
inline constexpr WinCode ERROR_INVALID_PARAMETER = 87;
inline constexpr WinCode ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr WinCode ERROR_DIR_NOT_EMPTY = 145;
inline constexpr WinCode ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr WinCode ERROR_FILE_TOO_LARGE = 223;
inline constexpr WinCode ERROR_DIRECTORY = 267;
inline constexpr WinCode ERROR_ALREADY_EXISTS = 183;
inline constexpr WinCode ERROR_MR_MID_NOT_FOUND = 317;
inline constexpr WinCode ERROR_NOT_SUPPORTED = 50;
inline constexpr WinCode ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr WinCode ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr WinCode ERROR_SERVICE_SPECIFIC_ERROR = 1066;
inline constexpr WinCode ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
inline constexpr WinCode ERROR_NONE_MAPPED = 1332;
inline constexpr WinCode ERROR_INVALID_SID = 1337;
inline constexpr WinCode ERROR_TOO_MANY_LINKS = 1142;
inline constexpr WinCode ERROR_REPARSE_POINT_ENCOUNTERED = 4395;
inline constexpr WinCode ERROR_INVALID_FUNCTION = 1;

inline constexpr std::uint32_t FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
inline constexpr std::uint32_t FORMAT_MESSAGE_FROM_HMODULE = 0x800;
inline constexpr std::uint32_t FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;

inline constexpr std::uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr std::uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr std::uint32_t FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
inline constexpr std::uint32_t IO_REPARSE_TAG_MOUNT_POINT = 0xA0000003;
inline constexpr std::uint32_t IO_REPARSE_TAG_SYMLINK = 0xA000000C;
inline constexpr std::uint32_t REPARSE_TAG_NAME_SURROGATE = 0x20000000;

inline constexpr std::uint32_t DELETE = 0x10000;
inline constexpr std::uint32_t READ_CONTROL = 0x20000;
inline constexpr std::uint32_t WRITE_DAC = 0x40000;
inline constexpr std::uint32_t WRITE_OWNER = 0x80000;
inline constexpr std::uint32_t GENERIC_READ = 0x80000000;
inline constexpr std::uint32_t GENERIC_WRITE = 0x40000000;
inline constexpr std::uint32_t FILE_READ_ATTRIBUTES = 0x80;
inline constexpr std::uint32_t FILE_WRITE_ATTRIBUTES = 0x100;
inline constexpr std::uint32_t FILE_LIST_DIRECTORY = 0x1;

inline constexpr std::uint32_t FILE_SHARE_READ = 0x1;
inline constexpr std::uint32_t FILE_SHARE_WRITE = 0x2;
inline constexpr std::uint32_t FILE_SHARE_DELETE = 0x4;
inline constexpr std::uint32_t FILE_SHARE_ALL =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

inline constexpr std::uint32_t OPEN_EXISTING = 3;
inline constexpr std::uint32_t OPEN_ALWAYS = 4;

inline constexpr std::uint32_t FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
inline constexpr std::uint32_t FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;
// With these, a path that turns out to name a pipe lets its server identify the caller but never
// impersonate it.
inline constexpr std::uint32_t SECURITY_SQOS_PRESENT = 0x00100000;
inline constexpr std::uint32_t SECURITY_IDENTIFICATION = 0x00010000;
inline constexpr std::uint32_t PATH_OPEN_SQOS = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

inline constexpr std::uint32_t FILE_TYPE_DISK = 1;
inline constexpr std::uint32_t FILE_TYPE_CHAR = 2;

inline constexpr std::uint32_t FILE_DISPOSITION_FLAG_DELETE = 0x1;
inline constexpr std::uint32_t FILE_DISPOSITION_FLAG_POSIX_SEMANTICS = 0x2;
inline constexpr std::uint32_t FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE = 0x10;

inline constexpr std::uint32_t OWNER_SECURITY_INFORMATION = 0x1;
inline constexpr std::uint32_t DACL_SECURITY_INFORMATION = 0x4;
inline constexpr std::uint32_t PROTECTED_DACL_SECURITY_INFORMATION = 0x80000000;

inline constexpr std::uint32_t WIN_LOCAL_SYSTEM_SID = 22;
inline constexpr std::uint32_t WIN_BUILTIN_ADMINISTRATORS_SID = 26;

inline constexpr std::uint32_t SC_MANAGER_CONNECT = 0x0001;
inline constexpr std::uint32_t SERVICE_QUERY_STATUS = 0x0004;
inline constexpr std::uint32_t SERVICE_STOP = 0x0020;
inline constexpr std::uint32_t SERVICE_CONTROL_STOP = 1;

} // namespace orvex::win
