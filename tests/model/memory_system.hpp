#pragma once
// The in-memory model of the Windows objects that the tool touches: a second full implementation
// of the platform seam, for native tests. It models directories, files, junctions, symbolic links
// and devices with owners, DACLs, attributes and reparse tags; handles with exact accounting,
// sharing and per-handle byte-range locks; the security allocator; accounts; services with their
// states and handle counts; a virtual clock; the standard streams; and failure injection.
//
// Every seam call is recorded in `calls()` with its operation and its main argument, so a test can
// assert order and a sweep can replay a run with one call failing. A failure rule that never
// fired fails the test, and a test that fails prints the model's state and its last calls.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system.hpp"

namespace orvex {

inline constexpr std::string_view SID_LOCAL_SYSTEM = "S-1-5-18";
inline constexpr std::string_view SID_BUILTIN_ADMINISTRATORS = "S-1-5-32-544";
inline constexpr std::string_view SID_FOREIGN_USER = "S-1-5-21-1000-2000-3000-1001";
inline constexpr std::string_view SID_ADMINISTRATOR = "S-1-5-21-1000-2000-3000-500";
inline constexpr std::string_view SID_CREATOR_OWNER = "S-1-3-0";

// The account that the code under test runs as. Its token decides every access check and which
// owners it may assign: LocalSystem may make LocalSystem or Builtin Administrators the owner, an
// elevated administrator Builtin Administrators or itself, an ordinary user itself; any other
// owner is refused with ERROR_INVALID_OWNER (1307). No privilege is enabled.
enum class Caller { LocalSystem, Administrator, User };

// The seam's operations, as the call log and the failure rules name them.
enum class Op {
    WriteConsole,
    WriteFile,
    Sleep,
    ConvertSddl,
    SecurityDescriptorDacl,
    CreateWellKnownSid,
    EqualSid,
    GetOwner,
    SetSecurityInfo,
    ConvertStringSid,
    LookupAccountSid,
    CreateDirectory,
    CreateFile,
    FileInformation,
    FileType,
    AttributeTag,
    LockFile,
    ReadFile,
    RemoveDirectory,
    DeleteFile,
    SetDispositionEx,
    SetDisposition,
    SetAttributes,
    OpenRelative,
    ListDirectory,
    OpenScManager,
    OpenService,
    QueryServiceStatus,
    ControlService,
    DeleteService,
    CloseHandle,
    CloseServiceHandle,
    LocalFree
};
[[nodiscard]] std::string_view op_name(Op op);

// One seam call: its operation and the argument that tells calls of it apart (a path, a name,
// "stdout", an access mask), "" when there is none.
struct Call {
    Op op;
    std::string argument;
    bool operator==(const Call&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Call& call);

class MemorySystem final : public System {
  public:
    struct Node {
        enum class Kind { Directory, File, Device };
        Kind kind = Kind::Directory;
        std::string name;
        FileAttributes attributes;
        ReparseTag reparse_tag;
        std::string link_target; // where a junction or symbolic link leads (empty otherwise)
        std::string owner;       // SID string
        std::string dacl;        // explicit entries as written in SDDL, "" when none were set
        bool dacl_protected = false;
        std::string inherited; // entries inherited from the parent, when it was made or changed
        std::string contents;
        std::map<std::string, std::shared_ptr<Node>> children; // keyed by upper-cased name
        std::weak_ptr<Node> parent;
        std::uint64_t index = 0;
        bool delete_on_close = false;
        std::uint32_t links = 1; // names of a file; more than one models a hard link
        bool is_link() const { return !link_target.empty(); }
    };

    enum class ServiceStop {
        Prompt, // reaches STOPPED after `stop_delay_queries` status queries
        Ignore, // accepts the control and stays running
        Refuse, // the control fails with `stop_error`
    };
    struct Service {
        std::uint32_t state = 4; // SERVICE_RUNNING
        ServiceStop stop = ServiceStop::Prompt;
        int stop_delay_queries = 0;
        WinCode stop_error{1052};
        std::uint32_t raw_state_after_stop = 0; // if non-zero, the state reported by the stop
        std::uint32_t exit_code = 0;
        // The executable its process maps: while the service is not stopped, and for
        // `process_outlives_record` of the clock after its record is gone, deleting that file
        // fails with 5 (STATUS_CANNOT_DELETE), whatever the disposition. Empty: none.
        std::string image;
        std::chrono::milliseconds process_outlives_record{0};
        bool marked_for_delete = false;
        int handles = 0;          // handles open in this process
        int external_handles = 0; // handles held elsewhere, which delay the deletion
        int queries_since_stop = -1;
        int stop_controls = 0;
    };

    // A rule that makes a call fail: the `nth` call of `operation` (1-based; 0 = every call),
    // optionally only calls whose argument contains `argument`.
    struct FailureRule {
        Op operation;
        int nth = 0;
        WinCode code = WinCode::AccessDenied;
        std::string argument;
        int seen = 0;
        int fired = 0;
    };

    MemorySystem();
    ~MemorySystem() override;

    // ---- Setting up a scenario (paths in WTF-8, "C:\..." form) ----
    Node& add_directory(std::string_view path, std::string_view owner = SID_LOCAL_SYSTEM);
    Node& add_file(std::string_view path, std::string_view contents = {},
                   FileAttributes extra_attributes = {});
    Node& add_junction(std::string_view path, std::string_view target);
    Node& add_symlink(std::string_view path, std::string_view target, bool directory);
    Node& add_device(std::string_view path);
    void remove(std::string_view path);
    // Another process deletes `path`, or renames it away to put something else in its place: both
    // need DELETE access, so a handle open on it that does not share deletion makes this fail with
    // a sharing violation (32) and leaves it in place, and a handle open on anything below it with
    // access denied (5). Returns 0 on success.
    WinCode remove_external(std::string_view path);
    [[nodiscard]] Node* find(std::string_view path); // without following the final link
    [[nodiscard]] bool exists(std::string_view path) { return find(path) != nullptr; }

    // A handle held by another process, for reading and writing unless `access` says otherwise: it
    // counts for sharing and locks, not for leaks.
    std::uintptr_t open_external(std::string_view path, ShareMode share,
                                 Access access = Access::GenericRead | Access::GenericWrite);
    // Its LockFile on a range of that handle: 0, or 33 where it meets another lock.
    WinCode lock_external(std::uintptr_t handle, std::uint64_t offset, std::uint64_t length);
    void close_external(std::uintptr_t handle);

    void add_account(std::string_view sid) { accounts_.insert(std::string(sid)); }
    Service& add_service(std::string_view name);
    [[nodiscard]] Service* service(std::string_view name);

    // Runs before every seam call with its log line, to change the world between two calls
    // (a service stopped by someone else, a directory swapped for a link).
    std::function<void(const Call& call)> on_call;

    void fail_call(Op operation, int nth, std::uint32_t code, std::string argument = {});
    // The process stops after this many calls, as when it is killed or the power fails: every
    // later call fails with ERROR_IO_DEVICE and changes nothing, except the releases, which the
    // system makes for a process that ends. Reset it to run again on what was left.
    std::optional<std::size_t> halt_after;
    // Drops the rules; one that never fired fails the test.
    void clear_failures();

    // ---- What happened ----
    [[nodiscard]] const std::vector<Call>& calls() const { return calls_; }
    // Calls of `operation`; with an argument, only those with exactly that argument.
    [[nodiscard]] std::size_t count_calls(Op operation, std::string_view argument = {}) const;
    [[nodiscard]] std::size_t open_handles() const; // this process's handles of any kind
    [[nodiscard]] std::size_t live_allocations() const { return allocations_.size(); }
    [[nodiscard]] std::size_t bad_releases() const { return bad_releases_; }
    // Objects this process deleted (removed directories, deleted files), by path, in order.
    [[nodiscard]] const std::vector<std::string>& deleted() const;
    struct OwnerChange {
        std::string path;
        std::string owner; // SID string
        bool operator==(const OwnerChange&) const = default;
    };
    std::vector<OwnerChange> owner_changes;
    std::vector<ServiceAccess> manager_opens; // the access of each OpenSCManager, in order
    struct ServiceOpen {
        std::string name;
        ServiceAccess access;
        bool operator==(const ServiceOpen&) const = default;
    };
    std::vector<ServiceOpen> service_opens; // each OpenServiceW that found its service, in order
    [[nodiscard]] std::chrono::milliseconds slept() const { return slept_; }
    [[nodiscard]] std::size_t sleeps() const { return sleeps_; }
    std::string out;            // bytes written to standard output
    std::string err;            // bytes written to standard error
    std::u16string console_err; // text written with WriteConsoleW to standard error
    std::u16string console_out;

    // ---- Configuration ----
    Caller caller = Caller::LocalSystem;
    // Whether SetSecurityInfo's propagation of inheritable entries into existing descendants
    // crosses a junction or directory link. No document says; only a real machine can.
    bool propagation_follows_links = false;
    std::optional<std::u16string> program_data = u"C:\\ProgramData";
    std::string creator_owner{SID_BUILTIN_ADMINISTRATORS}; // owner when no descriptor names one
    bool stderr_console = false;
    bool stdout_console = false;
    std::uint32_t code_page = 437;
    bool streams_broken = false;
    bool ntdll_loaded = true;
    bool descriptors_set_owner = true; // false: like Wine, a created directory gets creator_owner
    bool disposition_ex_supported = true;
    // Entries per list_directory call, "." and ".." included. Windows fills a caller's buffer, so
    // a long listing takes several calls; the default returns everything in one.
    std::size_t listing_batch = std::numeric_limits<std::size_t>::max();
    std::map<std::uint32_t, std::u16string> system_messages;
    std::map<std::uint32_t, std::u16string> ntdll_messages;

    // ---- The seam ----
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

    // The file tree, the open handles and the last calls, printed when a test fails.
    [[nodiscard]] std::string state() const;

    struct Impl;

  private:
    template <class T> std::uintptr_t allocate(std::shared_ptr<T> object);
    std::unique_ptr<Impl> impl_;
    std::vector<Call> calls_;
    int failures_at_start_ = 0;
    std::vector<FailureRule> rules_;
    std::set<std::string> accounts_;
    std::map<std::uintptr_t, std::shared_ptr<void>> allocations_; // LocalFree'd objects
    std::size_t bad_releases_ = 0;
    std::chrono::milliseconds slept_{0};
    std::size_t sleeps_ = 0;

    // Logs the call and returns the injected failure, if a rule matches.
    std::optional<WinCode> enter(Op operation, std::string_view argument = {});
};

} // namespace orvex
