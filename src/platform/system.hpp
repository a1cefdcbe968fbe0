#pragma once
// The platform seam: the Windows calls that the tool makes, one operation per system call, with
// the error code read right after the call. Abstract so that the logic above it runs against the
// in-memory model in native tests and against Win32 in the shipped program.
//
// Strings handed to the seam are UTF-16 with a terminating NUL. Handles are passed as typed
// references (FileRef, ServiceRef) to handles owned by the caller; security objects by typed
// references to memory owned by the seam's allocator. Every result is to be used.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/seam_types.hpp"

namespace orvex {

template <class T> using SysResult = std::expected<T, WinCode>;

inline std::unexpected<WinCode> sys_fail(WinCode code) {
    return std::unexpected<WinCode>(code);
}

class System;

// Which release call a resource needs.
enum class ResourceKind { File, Service, Local };

// A handle passed to a call, owned elsewhere: a file or directory (FileRef) or a service or the
// manager (ServiceRef). Made from the owning handle's ref(), so that a handle of one kind cannot
// reach a call of the other.
template <ResourceKind Kind> class Ref {
  public:
    constexpr Ref() = default;
    constexpr explicit Ref(std::uintptr_t value) : value_(value) {}
    [[nodiscard]] constexpr std::uintptr_t value() const { return value_; }

  private:
    std::uintptr_t value_ = 0;
};
using FileRef = Ref<ResourceKind::File>;
using ServiceRef = Ref<ResourceKind::Service>;

// Owns one system resource and releases it exactly once, on every path. Move-only.
template <ResourceKind Kind> class Owned {
  public:
    Owned() = default;
    Owned(System& system, std::uintptr_t value) : system_(&system), value_(value) {}
    Owned(Owned&& other) noexcept
        : system_(std::exchange(other.system_, nullptr)), value_(std::exchange(other.value_, 0)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset();
            system_ = std::exchange(other.system_, nullptr);
            value_ = std::exchange(other.value_, 0);
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    [[nodiscard]] std::uintptr_t get() const { return value_; }
    // The handle, for a call. Files and services only.
    [[nodiscard]] Ref<Kind> ref() const requires(Kind != ResourceKind::Local) {
        return Ref<Kind>(value_);
    }
    [[nodiscard]] const void* ptr() const { return reinterpret_cast<const void*>(value_); }
    [[nodiscard]] explicit operator bool() const { return system_ != nullptr; }
    void reset();

  private:
    System* system_ = nullptr;
    std::uintptr_t value_ = 0;
};

using UniqueHandle = Owned<ResourceKind::File>;      // CloseHandle
using UniqueScHandle = Owned<ResourceKind::Service>; // CloseServiceHandle
using UniqueLocal = Owned<ResourceKind::Local>;      // LocalFree

// Memory from the security allocator that holds one kind of object, freed with LocalFree; ref()
// gives the typed reference that the seam's calls take.
template <class Pointee> class OwnedLocal : public UniqueLocal {
  public:
    using UniqueLocal::UniqueLocal;
    [[nodiscard]] Pointee ref() const { return Pointee(ptr()); }
};
using OwnedDescriptor = OwnedLocal<DescriptorRef>; // a security descriptor
using OwnedSid = OwnedLocal<SidRef>;               // a SID

enum class StdStream { Output, Error };

// What a relative open accepts: any object, or only one that is not a directory
// (FILE_NON_DIRECTORY_FILE), so that the open itself says what was opened.
enum class OpenKind { Any, NonDirectory };

struct FileInformation {
    FileAttributes attributes;
    std::uint32_t volume_serial = 0;
    std::uint64_t file_index = 0;
    std::uint64_t size = 0;
    std::uint32_t links = 1; // names of the file (hard links)
};

struct AttributeTag {
    FileAttributes attributes;
    ReparseTag reparse_tag;
};

struct FindData {
    FileAttributes attributes;
    ReparseTag reparse_tag; // valid when the attributes hold ReparsePoint
    std::u16string name;
};

struct DaclQuery {
    bool present = false;
    AclRef dacl;
};

// GetSecurityInfo returns its code instead of setting the last error.
struct OwnerQuery {
    WinCode code;
    SidRef owner; // points into `descriptor`
    OwnedDescriptor descriptor;
};

class System {
  public:
    virtual ~System() = default;

    // Console and standard streams.
    [[nodiscard]] virtual bool is_console(StdStream stream) = 0;        // GetConsoleMode
    [[nodiscard]] virtual std::uint32_t console_output_code_page() = 0; // GetConsoleOutputCP
    [[nodiscard]] virtual bool write_console(StdStream stream,
                                             std::u16string_view text) = 0; // WriteConsoleW
    [[nodiscard]] virtual bool write_file(StdStream stream,
                                          std::string_view bytes) = 0; // WriteFile
    virtual void sleep(std::chrono::milliseconds duration) = 0;        // Sleep

    // Messages.
    [[nodiscard]] virtual std::uintptr_t
    loaded_module(const std::u16string& name) = 0; // GetModuleHandleW, 0 if not
    // FormatMessageW into a 2048-unit buffer, language 0.
    [[nodiscard]] virtual SysResult<std::u16string>
    format_message(MessageFlags flags, std::uintptr_t module, WinCode code) = 0;

    // SHGetKnownFolderPath(FOLDERID_ProgramData, 0, NULL); nothing on failure or without a path.
    [[nodiscard]] virtual std::optional<std::u16string> program_data_folder() = 0;

    // Security.
    [[nodiscard]] virtual SysResult<OwnedDescriptor> convert_sddl(const std::u16string& sddl) = 0;
    [[nodiscard]] virtual SysResult<DaclQuery>
    security_descriptor_dacl(DescriptorRef descriptor) = 0;
    // CreateWellKnownSid with no domain, into a buffer of the largest SID's size.
    [[nodiscard]] virtual SysResult<SidBuffer> well_known_sid(WellKnownSid kind) = 0;
    [[nodiscard]] virtual bool equal_sid(SidRef a, SidRef b) = 0;
    [[nodiscard]] virtual OwnerQuery
    get_owner(FileRef handle) = 0; // GetSecurityInfo, SE_FILE_OBJECT
    // SetSecurityInfo, SE_FILE_OBJECT; returns the call's code.
    [[nodiscard]] virtual WinCode set_security_info(FileRef handle, SecurityInformation information,
                                                    SidRef owner, AclRef dacl) = 0;
    [[nodiscard]] virtual SysResult<OwnedSid> convert_string_sid(const std::u16string& sid) = 0;
    // LookupAccountSidW with no buffers; the last-error code it leaves (0 if it succeeded).
    [[nodiscard]] virtual WinCode lookup_account_sid_probe(SidRef sid) = 0;

    // Files.
    [[nodiscard]] virtual SysResult<void> create_directory(const std::u16string& path,
                                                           DescriptorRef descriptor) = 0;
    [[nodiscard]] virtual SysResult<UniqueHandle> create_file(const std::u16string& path,
                                                              Access access, ShareMode share,
                                                              Disposition disposition,
                                                              OpenFlags flags) = 0;
    [[nodiscard]] virtual SysResult<FileInformation> file_information(FileRef handle) = 0;
    [[nodiscard]] virtual FileType file_type(FileRef handle) = 0; // GetFileType
    [[nodiscard]] virtual SysResult<AttributeTag> attribute_tag(FileRef handle) = 0;
    // LockFile of the whole file: from offset 0, 2^64 - 1 bytes.
    [[nodiscard]] virtual SysResult<void> lock_whole_file(FileRef handle) = 0;
    [[nodiscard]] virtual SysResult<std::uint32_t> read_file(FileRef handle,
                                                             std::span<char> buffer) = 0;
    [[nodiscard]] virtual SysResult<void> remove_directory(const std::u16string& path) = 0;
    [[nodiscard]] virtual SysResult<void> delete_file(const std::u16string& path) = 0;
    // SetFileInformationByHandle with FileDispositionInfoEx and the given flags.
    [[nodiscard]] virtual SysResult<void> set_disposition_ex(FileRef handle,
                                                             DispositionFlags flags) = 0;
    // SetFileInformationByHandle with FileDispositionInfo.
    [[nodiscard]] virtual SysResult<void> set_disposition(FileRef handle, bool delete_file) = 0;
    // SetFileInformationByHandle with FileBasicInfo, changing only the attributes.
    [[nodiscard]] virtual SysResult<void> set_attributes(FileRef handle,
                                                         FileAttributes attributes) = 0;
    // NtCreateFile of `name` (one component, no NUL) relative to an open directory, opening an
    // existing object itself, never the target of a link; shares read, write and delete. An empty
    // name opens the object of `directory` itself once more, with the access asked for now: no
    // rename or link can put another object in its place. As
    // OpenKind::NonDirectory, a directory (a junction or a directory link too) is refused with
    // ERROR_ACCESS_DENIED (STATUS_FILE_IS_A_DIRECTORY) instead of opened.
    [[nodiscard]] virtual SysResult<UniqueHandle> open_relative(FileRef directory,
                                                                const std::u16string& name,
                                                                Access access,
                                                                OpenKind kind = OpenKind::Any) = 0;
    // The next batch of a directory's entries through its handle (GetFileInformationByHandleEx,
    // FileFullDirectoryInfo); ERROR_NO_MORE_FILES once all have been returned.
    [[nodiscard]] virtual SysResult<std::vector<FindData>> list_directory(FileRef directory) = 0;

    // Service Control Manager.
    [[nodiscard]] virtual SysResult<UniqueScHandle> open_sc_manager(ServiceAccess access) = 0;
    [[nodiscard]] virtual SysResult<UniqueScHandle>
    open_service(ServiceRef manager, const std::u16string& name, ServiceAccess access) = 0;
    // QueryServiceStatusEx(SC_STATUS_PROCESS_INFO).
    [[nodiscard]] virtual SysResult<ServiceStatus> query_service_status(ServiceRef service) = 0;
    // ControlService; the status it reports.
    [[nodiscard]] virtual SysResult<ServiceStatus> control_service(ServiceRef service,
                                                                   ServiceControl control) = 0;
    [[nodiscard]] virtual SysResult<void> delete_service(ServiceRef service) = 0;

    // Release calls, used by Owned<>. Their results are ignored.
    virtual void close_handle(std::uintptr_t handle) = 0;
    virtual void close_service_handle(std::uintptr_t service) = 0;
    virtual void local_free(std::uintptr_t memory) = 0;
};

template <ResourceKind Kind> void Owned<Kind>::reset() {
    if (system_ == nullptr) {
        return;
    }
    System* system = std::exchange(system_, nullptr);
    const std::uintptr_t value = std::exchange(value_, 0);
    if constexpr (Kind == ResourceKind::File) {
        system->close_handle(value);
    } else if constexpr (Kind == ResourceKind::Service) {
        system->close_service_handle(value);
    } else {
        system->local_free(value);
    }
}

} // namespace orvex
