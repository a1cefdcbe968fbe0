// Win32 adapter. Every operation makes one system call and reads the last error right after it.
#include "platform/win32/win32_system.hpp"

#include <windows.h>

#include <aclapi.h>
#include <knownfolders.h>
#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>
#include <winternl.h>

#include <cstring>

namespace orvex {
namespace {

// The seam's constants carry the values of the Windows headers under names of their own; each is
// checked here against the macro it stands for.
static_assert(Access::ReadData.bits() == FILE_READ_DATA);
static_assert(Access::ListDirectory.bits() == FILE_LIST_DIRECTORY);
static_assert(Access::WriteData.bits() == FILE_WRITE_DATA);
static_assert(Access::AppendData.bits() == FILE_APPEND_DATA);
static_assert(Access::Execute.bits() == FILE_EXECUTE);
static_assert(Access::Execute.bits() == FILE_TRAVERSE);
static_assert(Access::ReadAttributes.bits() == FILE_READ_ATTRIBUTES);
static_assert(Access::WriteAttributes.bits() == FILE_WRITE_ATTRIBUTES);
static_assert(Access::Delete.bits() == DELETE);
static_assert(Access::ReadControl.bits() == READ_CONTROL);
static_assert(Access::WriteDac.bits() == WRITE_DAC);
static_assert(Access::WriteOwner.bits() == WRITE_OWNER);
static_assert(Access::GenericWrite.bits() == GENERIC_WRITE);
static_assert(Access::GenericRead.bits() == GENERIC_READ);
static_assert(ShareMode::Read.bits() == FILE_SHARE_READ);
static_assert(ShareMode::Write.bits() == FILE_SHARE_WRITE);
static_assert(ShareMode::Delete.bits() == FILE_SHARE_DELETE);
static_assert(ShareMode::All.bits() == (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
static_assert(static_cast<DWORD>(Disposition::OpenExisting) == OPEN_EXISTING);
static_assert(static_cast<DWORD>(Disposition::OpenAlways) == OPEN_ALWAYS);
static_assert(OpenFlags::SqosIdentification.bits() == SECURITY_IDENTIFICATION);
static_assert(OpenFlags::SqosPresent.bits() == SECURITY_SQOS_PRESENT);
static_assert(OpenFlags::IdentifyOnly.bits() == (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
static_assert(OpenFlags::OpenReparsePoint.bits() == FILE_FLAG_OPEN_REPARSE_POINT);
static_assert(OpenFlags::BackupSemantics.bits() == FILE_FLAG_BACKUP_SEMANTICS);
static_assert(FileAttributes::ReadOnly.bits() == FILE_ATTRIBUTE_READONLY);
static_assert(FileAttributes::Directory.bits() == FILE_ATTRIBUTE_DIRECTORY);
static_assert(FileAttributes::Archive.bits() == FILE_ATTRIBUTE_ARCHIVE);
static_assert(FileAttributes::Normal.bits() == FILE_ATTRIBUTE_NORMAL);
static_assert(FileAttributes::ReparsePoint.bits() == FILE_ATTRIBUTE_REPARSE_POINT);
static_assert(ReparseTag::MountPoint.value() == IO_REPARSE_TAG_MOUNT_POINT);
static_assert(ReparseTag::Symlink.value() == IO_REPARSE_TAG_SYMLINK);
static_assert(ReparseTag{0x20000000}.is_name_surrogate() && IsReparseTagNameSurrogate(0x20000000));
static_assert(ReparseTag::Symlink.is_name_surrogate() &&
              IsReparseTagNameSurrogate(IO_REPARSE_TAG_SYMLINK));
static_assert(static_cast<DWORD>(FileType::Unknown) == FILE_TYPE_UNKNOWN);
static_assert(static_cast<DWORD>(FileType::Disk) == FILE_TYPE_DISK);
static_assert(static_cast<DWORD>(FileType::Char) == FILE_TYPE_CHAR);
static_assert(static_cast<DWORD>(FileType::Pipe) == FILE_TYPE_PIPE);
static_assert(DispositionFlags::Delete.bits() == FILE_DISPOSITION_FLAG_DELETE);
static_assert(DispositionFlags::PosixSemantics.bits() == FILE_DISPOSITION_FLAG_POSIX_SEMANTICS);
static_assert(DispositionFlags::IgnoreReadonly.bits() ==
              FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE);
static_assert(SecurityInformation::Owner.bits() == OWNER_SECURITY_INFORMATION);
static_assert(SecurityInformation::Dacl.bits() == DACL_SECURITY_INFORMATION);
static_assert(SecurityInformation::ProtectedDacl.bits() == PROTECTED_DACL_SECURITY_INFORMATION);
static_assert(MessageFlags::IgnoreInserts.bits() == FORMAT_MESSAGE_IGNORE_INSERTS);
static_assert(MessageFlags::FromModule.bits() == FORMAT_MESSAGE_FROM_HMODULE);
static_assert(MessageFlags::FromSystem.bits() == FORMAT_MESSAGE_FROM_SYSTEM);
static_assert(ServiceAccess::ManagerConnect.bits() == SC_MANAGER_CONNECT);
static_assert(ServiceAccess::QueryStatus.bits() == SERVICE_QUERY_STATUS);
static_assert(ServiceAccess::Stop.bits() == SERVICE_STOP);
static_assert(ServiceAccess::Delete.bits() == DELETE);
static_assert(static_cast<DWORD>(ServiceControl::Stop) == SERVICE_CONTROL_STOP);
static_assert(static_cast<int>(WellKnownSid::LocalSystem) == WinLocalSystemSid);
static_assert(static_cast<int>(WellKnownSid::BuiltinAdministrators) == WinBuiltinAdministratorsSid);
static_assert(WinCode::Success.value() == ERROR_SUCCESS);
static_assert(WinCode::InvalidFunction.value() == ERROR_INVALID_FUNCTION);
static_assert(WinCode::FileNotFound.value() == ERROR_FILE_NOT_FOUND);
static_assert(WinCode::PathNotFound.value() == ERROR_PATH_NOT_FOUND);
static_assert(WinCode::AccessDenied.value() == ERROR_ACCESS_DENIED);
static_assert(WinCode::InvalidHandle.value() == ERROR_INVALID_HANDLE);
static_assert(WinCode::InvalidDrive.value() == ERROR_INVALID_DRIVE);
static_assert(WinCode::NoMoreFiles.value() == ERROR_NO_MORE_FILES);
static_assert(WinCode::SharingViolation.value() == ERROR_SHARING_VIOLATION);
static_assert(WinCode::LockViolation.value() == ERROR_LOCK_VIOLATION);
static_assert(WinCode::NotSupported.value() == ERROR_NOT_SUPPORTED);
static_assert(WinCode::BadNetPath.value() == ERROR_BAD_NETPATH);
static_assert(WinCode::BadNetName.value() == ERROR_BAD_NET_NAME);
static_assert(WinCode::InvalidParameter.value() == ERROR_INVALID_PARAMETER);
static_assert(WinCode::InsufficientBuffer.value() == ERROR_INSUFFICIENT_BUFFER);
static_assert(WinCode::DirNotEmpty.value() == ERROR_DIR_NOT_EMPTY);
static_assert(WinCode::AlreadyExists.value() == ERROR_ALREADY_EXISTS);
static_assert(WinCode::FilenameExceedsRange.value() == ERROR_FILENAME_EXCED_RANGE);
static_assert(WinCode::FileTooLarge.value() == ERROR_FILE_TOO_LARGE);
static_assert(WinCode::Directory.value() == ERROR_DIRECTORY);
static_assert(WinCode::MessageNotFound.value() == ERROR_MR_MID_NOT_FOUND);
static_assert(WinCode::ServiceDoesNotExist.value() == ERROR_SERVICE_DOES_NOT_EXIST);
static_assert(WinCode::ServiceNotActive.value() == ERROR_SERVICE_NOT_ACTIVE);
static_assert(WinCode::ServiceSpecificError.value() == ERROR_SERVICE_SPECIFIC_ERROR);
static_assert(WinCode::ServiceMarkedForDelete.value() == ERROR_SERVICE_MARKED_FOR_DELETE);
static_assert(WinCode::TooManyLinks.value() == ERROR_TOO_MANY_LINKS);
static_assert(WinCode::NoneMapped.value() == ERROR_NONE_MAPPED);
static_assert(WinCode::InvalidAcl.value() == ERROR_INVALID_ACL);
static_assert(WinCode::InvalidSid.value() == ERROR_INVALID_SID);
static_assert(WinCode::CantResolveFilename.value() == ERROR_CANT_RESOLVE_FILENAME);
static_assert(WinCode::ReparsePointEncountered.value() == 4395); // newer than MinGW's headers

// Debian's MinGW headers do not declare the Ex disposition class.
constexpr auto FILE_DISPOSITION_INFO_EX_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
struct DispositionInfoEx {
    ULONG Flags;
};

HANDLE as_handle(std::uintptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}
HANDLE as_handle(FileRef file) {
    return as_handle(file.value());
}
SC_HANDLE as_sc(std::uintptr_t value) {
    return reinterpret_cast<SC_HANDLE>(value);
}
SC_HANDLE as_sc(ServiceRef service) {
    return as_sc(service.value());
}
const wchar_t* wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}
HANDLE std_handle(StdStream stream) {
    return GetStdHandle(stream == StdStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}
std::unexpected<WinCode> last_error() {
    return sys_fail(WinCode(GetLastError()));
}
// The fields that SERVICE_STATUS and SERVICE_STATUS_PROCESS share, by name.
template <class Status> ServiceStatus decoded(const Status& status) {
    return ServiceStatus{status.dwServiceType,
                         status.dwCurrentState,
                         status.dwControlsAccepted,
                         status.dwWin32ExitCode,
                         status.dwServiceSpecificExitCode,
                         status.dwCheckPoint,
                         status.dwWaitHint};
}
void* mutable_pointer(const void* pointer) {
    return const_cast<void*>(pointer); // the Win32 prototypes predate const
}

} // namespace

bool Win32System::is_console(StdStream stream) {
    DWORD mode = 0;
    return GetConsoleMode(std_handle(stream), &mode) != 0;
}

std::uint32_t Win32System::console_output_code_page() {
    return GetConsoleOutputCP();
}

bool Win32System::write_console(StdStream stream, std::u16string_view text) {
    DWORD written = 0;
    return WriteConsoleW(std_handle(stream), text.data(), static_cast<DWORD>(text.size()), &written,
                         nullptr) != 0;
}

bool Win32System::write_file(StdStream stream, std::string_view bytes) {
    DWORD written = 0;
    return WriteFile(std_handle(stream), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) != 0 &&
           written == bytes.size();
}

void Win32System::sleep(std::chrono::milliseconds duration) {
    Sleep(static_cast<DWORD>(duration.count()));
}

std::uintptr_t Win32System::loaded_module(const std::u16string& name) {
    return reinterpret_cast<std::uintptr_t>(GetModuleHandleW(wide(name)));
}

SysResult<std::u16string> Win32System::format_message(MessageFlags flags, std::uintptr_t module,
                                                      WinCode code) {
    wchar_t buffer[2048];
    const DWORD length = FormatMessageW(flags.bits(), reinterpret_cast<LPCVOID>(module),
                                        code.value(), 0, buffer, 2048, nullptr);
    if (length == 0) {
        return last_error();
    }
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}

std::optional<std::u16string> Win32System::program_data_folder() {
    PWSTR path = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &path);
    std::optional<std::u16string> result;
    if (SUCCEEDED(hr) && path != nullptr) {
        result = std::u16string(reinterpret_cast<const char16_t*>(path));
    }
    CoTaskMemFree(path); // also required after a failure; accepts NULL
    return result;
}

SysResult<OwnedDescriptor> Win32System::convert_sddl(const std::u16string& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(wide(sddl), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return last_error();
    }
    if (descriptor == nullptr) {
        return sys_fail(WinCode::Success);
    }
    return OwnedDescriptor(*this, reinterpret_cast<std::uintptr_t>(descriptor));
}

SysResult<DaclQuery> Win32System::security_descriptor_dacl(DescriptorRef descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(mutable_pointer(descriptor.get()), &present, &dacl,
                                   &defaulted)) {
        return last_error();
    }
    return DaclQuery{present != FALSE, AclRef(dacl)};
}

SysResult<SidBuffer> Win32System::well_known_sid(WellKnownSid kind) {
    SidBuffer sid;
    DWORD size = SID_BUFFER_SIZE;
    if (!CreateWellKnownSid(static_cast<WELL_KNOWN_SID_TYPE>(kind), nullptr, sid.bytes.data(),
                            &size)) {
        return last_error();
    }
    return sid;
}

bool Win32System::equal_sid(SidRef a, SidRef b) {
    return EqualSid(mutable_pointer(a.get()), mutable_pointer(b.get())) != 0;
}

OwnerQuery Win32System::get_owner(FileRef handle) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD code =
        GetSecurityInfo(as_handle(handle), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                        nullptr, nullptr, nullptr, &descriptor);
    OwnerQuery query;
    query.code = WinCode(code);
    query.owner = SidRef(owner);
    if (descriptor != nullptr) {
        query.descriptor = OwnedDescriptor(*this, reinterpret_cast<std::uintptr_t>(descriptor));
    }
    return query;
}

WinCode Win32System::set_security_info(FileRef handle, SecurityInformation information,
                                       SidRef owner, AclRef dacl) {
    return WinCode(SetSecurityInfo(as_handle(handle), SE_FILE_OBJECT, information.bits(),
                                   mutable_pointer(owner.get()), nullptr,
                                   static_cast<PACL>(mutable_pointer(dacl.get())), nullptr));
}

SysResult<OwnedSid> Win32System::convert_string_sid(const std::u16string& sid) {
    PSID result = nullptr;
    if (!ConvertStringSidToSidW(wide(sid), &result)) {
        return last_error();
    }
    if (result == nullptr) {
        return last_error();
    }
    return OwnedSid(*this, reinterpret_cast<std::uintptr_t>(result));
}

WinCode Win32System::lookup_account_sid_probe(SidRef sid) {
    DWORD name_length = 0;
    DWORD domain_length = 0;
    SID_NAME_USE use{};
    if (LookupAccountSidW(nullptr, mutable_pointer(sid.get()), nullptr, &name_length, nullptr,
                          &domain_length, &use)) {
        return WinCode::Success;
    }
    return WinCode(GetLastError());
}

SysResult<void> Win32System::create_directory(const std::u16string& path,
                                              DescriptorRef descriptor) {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = mutable_pointer(descriptor.get());
    attributes.bInheritHandle = FALSE;
    if (!CreateDirectoryW(wide(path), &attributes)) {
        return last_error();
    }
    return {};
}

SysResult<UniqueHandle> Win32System::create_file(const std::u16string& path, Access access,
                                                 ShareMode share, Disposition disposition,
                                                 OpenFlags flags) {
    HANDLE handle = CreateFileW(wide(path), access.bits(), share.bits(), nullptr,
                                static_cast<DWORD>(disposition), flags.bits(), nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    return UniqueHandle(*this, reinterpret_cast<std::uintptr_t>(handle));
}

SysResult<FileInformation> Win32System::file_information(FileRef handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(as_handle(handle), &info)) {
        return last_error();
    }
    return FileInformation{FileAttributes(info.dwFileAttributes), info.dwVolumeSerialNumber,
                           (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow,
                           (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow,
                           info.nNumberOfLinks};
}

FileType Win32System::file_type(FileRef handle) {
    return static_cast<FileType>(GetFileType(as_handle(handle)));
}

SysResult<AttributeTag> Win32System::attribute_tag(FileRef handle) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!GetFileInformationByHandleEx(as_handle(handle), FileAttributeTagInfo, &info,
                                      sizeof(info))) {
        return last_error();
    }
    return AttributeTag{FileAttributes(info.FileAttributes), ReparseTag(info.ReparseTag)};
}

SysResult<void> Win32System::lock_whole_file(FileRef handle) {
    if (!LockFile(as_handle(handle), 0, 0, 0xFFFFFFFF, 0xFFFFFFFF)) {
        return last_error();
    }
    return {};
}

SysResult<std::uint32_t> Win32System::read_file(FileRef handle, std::span<char> buffer) {
    DWORD read = 0;
    if (!ReadFile(as_handle(handle), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                  nullptr)) {
        return last_error();
    }
    return read;
}

SysResult<void> Win32System::remove_directory(const std::u16string& path) {
    if (!RemoveDirectoryW(wide(path))) {
        return last_error();
    }
    return {};
}

SysResult<void> Win32System::delete_file(const std::u16string& path) {
    if (!DeleteFileW(wide(path))) {
        return last_error();
    }
    return {};
}

SysResult<void> Win32System::set_disposition_ex(FileRef handle, DispositionFlags flags) {
    DispositionInfoEx info{flags.bits()};
    if (!SetFileInformationByHandle(as_handle(handle), FILE_DISPOSITION_INFO_EX_CLASS, &info,
                                    sizeof(info))) {
        return last_error();
    }
    return {};
}

SysResult<void> Win32System::set_disposition(FileRef handle, bool delete_file) {
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = delete_file ? TRUE : FALSE;
    if (!SetFileInformationByHandle(as_handle(handle), FileDispositionInfo, &info, sizeof(info))) {
        return last_error();
    }
    return {};
}

SysResult<void> Win32System::set_attributes(FileRef handle, FileAttributes attributes) {
    FILE_BASIC_INFO info{}; // zero times leave them unchanged
    info.FileAttributes = attributes.bits();
    if (!SetFileInformationByHandle(as_handle(handle), FileBasicInfo, &info, sizeof(info))) {
        return last_error();
    }
    return {};
}

SysResult<UniqueHandle> Win32System::open_relative(FileRef directory, const std::u16string& name,
                                                   Access access, OpenKind kind) {
    constexpr ULONG FILE_OPEN_DISPOSITION = 1; // FILE_OPEN: an existing object, never a new one
    // FILE_OPEN_REPARSE_POINT: a link is opened as itself, so its target is never reached.
    constexpr ULONG OPEN_REPARSE_POINT = 0x00200000;
    // FILE_SYNCHRONOUS_IO_NONALERT: the directory listing and reads on the handle are synchronous.
    constexpr ULONG SYNCHRONOUS_IO = 0x00000020;
    // No FILE_OPEN_FOR_BACKUP_INTENT: with a backup privilege enabled in the token it would bypass
    // the object's DACL, and nothing here needs that. Directories open without it at this level.
    constexpr ULONG OPEN_OPTIONS = OPEN_REPARSE_POINT | SYNCHRONOUS_IO;
    constexpr ULONG NON_DIRECTORY_FILE = 0x00000040; // FILE_NON_DIRECTORY_FILE
    UNICODE_STRING unicode_name;
    unicode_name.Buffer = const_cast<PWSTR>(reinterpret_cast<PCWSTR>(name.data()));
    unicode_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    unicode_name.MaximumLength = unicode_name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicode_name, 0, as_handle(directory), nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status = NtCreateFile(
        &handle, access.bits() | SYNCHRONIZE, &attributes, &io, nullptr, 0,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN_DISPOSITION,
        OPEN_OPTIONS | (kind == OpenKind::NonDirectory ? NON_DIRECTORY_FILE : 0), nullptr, 0);
    if (status < 0) {
        return sys_fail(WinCode(RtlNtStatusToDosError(status)));
    }
    return UniqueHandle(*this, reinterpret_cast<std::uintptr_t>(handle));
}

SysResult<std::vector<FindData>> Win32System::list_directory(FileRef directory) {
    alignas(8) std::byte buffer[64 * 1024];
    if (!GetFileInformationByHandleEx(as_handle(directory), FileFullDirectoryInfo, buffer,
                                      sizeof(buffer))) {
        return last_error();
    }
    // Counted first, so that the batch is allocated once instead of growing entry by entry.
    std::size_t count = 1;
    for (std::size_t offset = 0;; ++count) {
        const DWORD next =
            reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer + offset)->NextEntryOffset;
        if (next == 0) {
            break;
        }
        offset += next;
    }
    std::vector<FindData> entries;
    entries.reserve(count);
    for (std::size_t offset = 0;;) {
        const auto* info = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer + offset);
        // For a reparse point the listing reports its tag in EaSize: a file with a reparse point
        // cannot carry extended attributes, so the field is reused.
        const bool reparse = (info->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        entries.push_back(FindData{FileAttributes(info->FileAttributes),
                                   ReparseTag(reparse ? info->EaSize : 0),
                                   std::u16string(reinterpret_cast<const char16_t*>(info->FileName),
                                                  info->FileNameLength / sizeof(wchar_t))});
        if (info->NextEntryOffset == 0) {
            return entries;
        }
        offset += info->NextEntryOffset;
    }
}

SysResult<UniqueScHandle> Win32System::open_sc_manager(ServiceAccess access) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, access.bits());
    if (manager == nullptr) {
        return last_error();
    }
    return UniqueScHandle(*this, reinterpret_cast<std::uintptr_t>(manager));
}

SysResult<UniqueScHandle> Win32System::open_service(ServiceRef manager, const std::u16string& name,
                                                    ServiceAccess access) {
    SC_HANDLE service = OpenServiceW(as_sc(manager), wide(name), access.bits());
    if (service == nullptr) {
        return last_error();
    }
    return UniqueScHandle(*this, reinterpret_cast<std::uintptr_t>(service));
}

SysResult<ServiceStatus> Win32System::query_service_status(ServiceRef service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(as_sc(service), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(&status), sizeof(status), &needed)) {
        return last_error();
    }
    return decoded(status);
}

SysResult<ServiceStatus> Win32System::control_service(ServiceRef service, ServiceControl control) {
    SERVICE_STATUS status{};
    if (!ControlService(as_sc(service), static_cast<DWORD>(control), &status)) {
        return last_error();
    }
    return decoded(status);
}

SysResult<void> Win32System::delete_service(ServiceRef service) {
    if (!DeleteService(as_sc(service))) {
        return last_error();
    }
    return {};
}

void Win32System::close_handle(std::uintptr_t handle) {
    CloseHandle(as_handle(handle));
}
void Win32System::close_service_handle(std::uintptr_t service) {
    CloseServiceHandle(as_sc(service));
}
void Win32System::local_free(std::uintptr_t memory) {
    LocalFree(reinterpret_cast<HLOCAL>(memory));
}

bool restrict_dll_search_to_system32() {
    return SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != 0;
}

bool enforce_redirection_trust() {
    // Looked up at run time: older systems lack the call, and an import of it would keep the
    // program from starting there. The policy class and its flag are newer than MinGW's headers.
    using SetPolicy = BOOL(WINAPI*)(int policy, PVOID buffer, SIZE_T length);
    constexpr int PROCESS_REDIRECTION_TRUST_POLICY = 16;
    constexpr DWORD ENFORCE_REDIRECTION_TRUST = 0x1;
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) {
        return false;
    }
    const auto set_policy = reinterpret_cast<SetPolicy>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "SetProcessMitigationPolicy")));
    if (set_policy == nullptr) {
        return false;
    }
    DWORD flags = ENFORCE_REDIRECTION_TRUST;
    return set_policy(PROCESS_REDIRECTION_TRUST_POLICY, &flags, sizeof(flags)) != FALSE;
}

} // namespace orvex
