#pragma once
// The platform seam: the Windows calls that the tool makes, one operation per system call, with
// the error code read right after the call. Abstract so that the logic above it runs against the
// in-memory model in native tests and against Win32 in the shipped program.
//
// Strings handed to the seam are UTF-16 with a terminating NUL. Handles are opaque integers;
// security objects are passed by typed references to memory owned by the seam's allocator.

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
    [[nodiscard]] const void* ptr() const { return reinterpret_cast<const void*>(value_); }
    // The memory as a typed reference (SidRef, DescriptorRef, AclRef).
    template <class Ref> [[nodiscard]] Ref as() const { return Ref(ptr()); }
    [[nodiscard]] explicit operator bool() const { return system_ != nullptr; }
    void reset();

  private:
    System* system_ = nullptr;
    std::uintptr_t value_ = 0;
};

using UniqueHandle = Owned<ResourceKind::File>;      // CloseHandle
using UniqueScHandle = Owned<ResourceKind::Service>; // CloseServiceHandle
using UniqueLocal = Owned<ResourceKind::Local>;      // LocalFree

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
    UniqueLocal descriptor;
};

class System {
  public:
    virtual ~System() = default;

    // Console and standard streams.
    virtual bool is_console(StdStream stream) = 0;        // GetConsoleMode
    virtual std::uint32_t console_output_code_page() = 0; // GetConsoleOutputCP
    virtual bool write_console(StdStream stream, std::u16string_view text) = 0; // WriteConsoleW
    virtual bool write_file(StdStream stream, std::string_view bytes) = 0;      // WriteFile
    virtual void sleep(std::chrono::milliseconds duration) = 0;                 // Sleep

    // Messages.
    virtual std::uintptr_t
    loaded_module(const std::u16string& name) = 0; // GetModuleHandleW, 0 if not
    // FormatMessageW into a 2048-unit buffer, language 0.
    virtual SysResult<std::u16string> format_message(MessageFlags flags, std::uintptr_t module,
                                                     WinCode code) = 0;

    // SHGetKnownFolderPath(FOLDERID_ProgramData, 0, NULL); nothing on failure or without a path.
    virtual std::optional<std::u16string> program_data_folder() = 0;

    // Security.
    virtual SysResult<UniqueLocal> convert_sddl(const std::u16string& sddl) = 0;
    virtual SysResult<DaclQuery> security_descriptor_dacl(DescriptorRef descriptor) = 0;
    virtual SysResult<void> create_well_known_sid(WellKnownSid kind, void* buffer,
                                                  std::uint32_t size) = 0;
    virtual bool equal_sid(SidRef a, SidRef b) = 0;
    virtual OwnerQuery get_owner(std::uintptr_t handle) = 0; // GetSecurityInfo, SE_FILE_OBJECT
    // SetSecurityInfo, SE_FILE_OBJECT; returns the call's code.
    virtual WinCode set_security_info(std::uintptr_t handle, SecurityInformation information,
                                      SidRef owner, AclRef dacl) = 0;
    virtual SysResult<UniqueLocal> convert_string_sid(const std::u16string& sid) = 0;
    // LookupAccountSidW with no buffers; the last-error code it leaves (0 if it succeeded).
    virtual WinCode lookup_account_sid_probe(SidRef sid) = 0;

    // Files.
    virtual SysResult<void> create_directory(const std::u16string& path,
                                             DescriptorRef descriptor) = 0;
    virtual SysResult<UniqueHandle> create_file(const std::u16string& path, Access access,
                                                ShareMode share, Disposition disposition,
                                                OpenFlags flags) = 0;
    virtual SysResult<FileInformation> file_information(std::uintptr_t handle) = 0;
    virtual FileType file_type(std::uintptr_t handle) = 0; // GetFileType
    virtual SysResult<AttributeTag> attribute_tag(std::uintptr_t handle) = 0;
    virtual SysResult<void> lock_file(std::uintptr_t handle, std::uint32_t offset_low,
                                      std::uint32_t offset_high, std::uint32_t length_low,
                                      std::uint32_t length_high) = 0;
    virtual SysResult<std::uint32_t> read_file(std::uintptr_t handle, std::span<char> buffer) = 0;
    virtual SysResult<void> remove_directory(const std::u16string& path) = 0;
    virtual SysResult<void> delete_file(const std::u16string& path) = 0;
    // SetFileInformationByHandle with FileDispositionInfoEx and the given flags.
    virtual SysResult<void> set_disposition_ex(std::uintptr_t handle, DispositionFlags flags) = 0;
    // SetFileInformationByHandle with FileDispositionInfo.
    virtual SysResult<void> set_disposition(std::uintptr_t handle, bool delete_file) = 0;
    // SetFileInformationByHandle with FileBasicInfo, changing only the attributes.
    virtual SysResult<void> set_attributes(std::uintptr_t handle, FileAttributes attributes) = 0;
    // NtCreateFile of `name` (one component, no NUL) relative to an open directory, opening an
    // existing object itself, never the target of a link; shares read, write and delete. An empty
    // name opens the object of `directory` itself once more, with the access asked for now: no
    // rename or link can put another object in its place. As
    // OpenKind::NonDirectory, a directory (a junction or a directory link too) is refused with
    // ERROR_ACCESS_DENIED (STATUS_FILE_IS_A_DIRECTORY) instead of opened.
    virtual SysResult<UniqueHandle> open_relative(std::uintptr_t directory,
                                                  const std::u16string& name, Access access,
                                                  OpenKind kind = OpenKind::Any) = 0;
    // The next batch of a directory's entries through its handle (GetFileInformationByHandleEx,
    // FileFullDirectoryInfo); ERROR_NO_MORE_FILES once all have been returned.
    virtual SysResult<std::vector<FindData>> list_directory(std::uintptr_t directory) = 0;

    // Service Control Manager.
    virtual SysResult<UniqueScHandle> open_sc_manager(ServiceAccess access) = 0;
    virtual SysResult<UniqueScHandle>
    open_service(std::uintptr_t manager, const std::u16string& name, ServiceAccess access) = 0;
    // QueryServiceStatusEx(SC_STATUS_PROCESS_INFO).
    virtual SysResult<ServiceStatus> query_service_status(std::uintptr_t service) = 0;
    // ControlService; the status it reports.
    virtual SysResult<ServiceStatus> control_service(std::uintptr_t service,
                                                     ServiceControl control) = 0;
    virtual SysResult<void> delete_service(std::uintptr_t service) = 0;

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
