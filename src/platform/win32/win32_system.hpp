#pragma once
// The shipped implementation of the platform seam: each operation is one Win32 call.

#include "platform/system.hpp"

namespace orvex {

class Win32System final : public System {
  public:
    bool is_console(StdStream stream) override;
    std::uint32_t console_output_code_page() override;
    bool write_console(StdStream stream, std::u16string_view text) override;
    bool write_file(StdStream stream, std::string_view bytes) override;
    void sleep(std::chrono::milliseconds duration) override;

    std::uintptr_t loaded_module(const std::u16string& name) override;
    SysResult<std::u16string> format_message(MessageFlags flags, std::uintptr_t module,
                                             WinCode code) override;
    std::optional<std::u16string> program_data_folder() override;

    SysResult<OwnedDescriptor> convert_sddl(const std::u16string& sddl) override;
    SysResult<DaclQuery> security_descriptor_dacl(DescriptorRef descriptor) override;
    SysResult<SidBuffer> well_known_sid(WellKnownSid kind) override;
    bool equal_sid(SidRef a, SidRef b) override;
    OwnerQuery get_owner(FileRef handle) override;
    WinCode set_security_info(FileRef handle, SecurityInformation information, SidRef owner,
                              AclRef dacl) override;
    SysResult<OwnedSid> convert_string_sid(const std::u16string& sid) override;
    WinCode lookup_account_sid_probe(SidRef sid) override;

    SysResult<void> create_directory(const std::u16string& path, DescriptorRef descriptor) override;
    SysResult<UniqueHandle> create_file(const std::u16string& path, Access access, ShareMode share,
                                        Disposition disposition, OpenFlags flags) override;
    SysResult<FileInformation> file_information(FileRef handle) override;
    FileType file_type(FileRef handle) override;
    SysResult<AttributeTag> attribute_tag(FileRef handle) override;
    SysResult<void> lock_whole_file(FileRef handle) override;
    SysResult<std::uint32_t> read_file(FileRef handle, std::span<char> buffer) override;
    SysResult<void> remove_directory(const std::u16string& path) override;
    SysResult<void> delete_file(const std::u16string& path) override;
    SysResult<void> set_disposition_ex(FileRef handle, DispositionFlags flags) override;
    SysResult<void> set_disposition(FileRef handle, bool delete_file) override;
    SysResult<void> set_attributes(FileRef handle, FileAttributes attributes) override;
    SysResult<UniqueHandle> open_relative(FileRef directory, const std::u16string& name,
                                          Access access, OpenKind kind = OpenKind::Any) override;
    SysResult<std::vector<FindData>> list_directory(FileRef directory) override;

    SysResult<UniqueScHandle> open_sc_manager(ServiceAccess access) override;
    SysResult<UniqueScHandle> open_service(ServiceRef manager, const std::u16string& name,
                                           ServiceAccess access) override;
    SysResult<ServiceStatus> query_service_status(ServiceRef service) override;
    SysResult<ServiceStatus> control_service(ServiceRef service, ServiceControl control) override;
    SysResult<void> delete_service(ServiceRef service) override;

    void close_handle(std::uintptr_t handle) override;
    void close_service_handle(std::uintptr_t service) override;
    void local_free(std::uintptr_t memory) override;
};

// Restricts DLL loading to System32 for the rest of the process. Returns false if refused.
bool restrict_dll_search_to_system32();

// Makes the system refuse, for this process, junctions and other redirections created by
// non-administrators (where the system offers the policy). Returns false if refused or missing.
bool enforce_redirection_trust();

} // namespace orvex
