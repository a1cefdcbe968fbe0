#pragma once
// The values the platform seam passes, each a type of its own: an access mask cannot be passed
// where a share mode is expected, a code is never taken for a count, and a SID cannot be handed
// where a descriptor is wanted. The constants carry the Windows values under names that do not
// collide with <windows.h>; the Win32 adapter checks each against the real macro.

#include <array>
#include <cstddef>
#include <cstdint>

namespace orvex {

// A set of bits of one kind. Sets of the same kind combine; sets of different kinds do not.
template <class Self> class BitMask {
  public:
    constexpr BitMask() = default;
    constexpr explicit BitMask(std::uint32_t bits) : bits_(bits) {}

    [[nodiscard]] constexpr std::uint32_t bits() const { return bits_; }
    [[nodiscard]] constexpr bool contains(Self other) const {
        return (bits_ & other.bits()) == other.bits();
    }
    [[nodiscard]] constexpr bool intersects(Self other) const {
        return (bits_ & other.bits()) != 0;
    }
    [[nodiscard]] constexpr Self without(Self other) const { return Self(bits_ & ~other.bits()); }

    friend constexpr Self operator|(Self a, Self b) { return Self(a.bits() | b.bits()); }
    friend constexpr Self operator&(Self a, Self b) { return Self(a.bits() & b.bits()); }
    friend constexpr Self& operator|=(Self& a, Self b) { return a = a | b; }
    friend constexpr bool operator==(Self a, Self b) { return a.bits() == b.bits(); }

  private:
    std::uint32_t bits_ = 0;
};

// The access asked for when a file or directory is opened.
class Access final : public BitMask<Access> {
  public:
    using BitMask::BitMask;
    static const Access ReadData; // FILE_READ_DATA, also FILE_LIST_DIRECTORY
    static const Access ListDirectory;
    static const Access WriteData;
    static const Access AppendData;
    static const Access Execute; // FILE_EXECUTE, also FILE_TRAVERSE
    static const Access ReadAttributes;
    static const Access WriteAttributes;
    static const Access Delete;
    static const Access ReadControl;
    static const Access WriteDac;
    static const Access WriteOwner;
    static const Access GenericWrite;
    static const Access GenericRead;
};
inline constexpr Access Access::ReadData{0x1};
inline constexpr Access Access::ListDirectory{0x1};
inline constexpr Access Access::WriteData{0x2};
inline constexpr Access Access::AppendData{0x4};
inline constexpr Access Access::Execute{0x20};
inline constexpr Access Access::ReadAttributes{0x80};
inline constexpr Access Access::WriteAttributes{0x100};
inline constexpr Access Access::Delete{0x10000};
inline constexpr Access Access::ReadControl{0x20000};
inline constexpr Access Access::WriteDac{0x40000};
inline constexpr Access Access::WriteOwner{0x80000};
inline constexpr Access Access::GenericWrite{0x40000000};
inline constexpr Access Access::GenericRead{0x80000000};

// What other opens of the same object may do while a handle is open.
class ShareMode final : public BitMask<ShareMode> {
  public:
    using BitMask::BitMask;
    static const ShareMode Read;
    static const ShareMode Write;
    static const ShareMode Delete;
    static const ShareMode All;
};
inline constexpr ShareMode ShareMode::Read{0x1};
inline constexpr ShareMode ShareMode::Write{0x2};
inline constexpr ShareMode ShareMode::Delete{0x4};
inline constexpr ShareMode ShareMode::All{0x7};

// CreateFileW's creation disposition.
enum class Disposition : std::uint32_t { OpenExisting = 3, OpenAlways = 4 };

// CreateFileW's flags and attributes.
class OpenFlags final : public BitMask<OpenFlags> {
  public:
    using BitMask::BitMask;
    static const OpenFlags SqosIdentification;
    static const OpenFlags SqosPresent;
    // With both, a path that turns out to name a pipe lets its server identify the caller but
    // never impersonate it.
    static const OpenFlags IdentifyOnly;
    static const OpenFlags OpenReparsePoint; // the link itself, never its target
    static const OpenFlags BackupSemantics;  // needed to open a directory
};
inline constexpr OpenFlags OpenFlags::SqosIdentification{0x00010000};
inline constexpr OpenFlags OpenFlags::SqosPresent{0x00100000};
inline constexpr OpenFlags OpenFlags::IdentifyOnly{0x00110000};
inline constexpr OpenFlags OpenFlags::OpenReparsePoint{0x00200000};
inline constexpr OpenFlags OpenFlags::BackupSemantics{0x02000000};

class FileAttributes final : public BitMask<FileAttributes> {
  public:
    using BitMask::BitMask;
    static const FileAttributes ReadOnly;
    static const FileAttributes Directory;
    static const FileAttributes Archive;
    static const FileAttributes Normal;
    static const FileAttributes ReparsePoint;
};
inline constexpr FileAttributes FileAttributes::ReadOnly{0x1};
inline constexpr FileAttributes FileAttributes::Directory{0x10};
inline constexpr FileAttributes FileAttributes::Archive{0x20};
inline constexpr FileAttributes FileAttributes::Normal{0x80};
inline constexpr FileAttributes FileAttributes::ReparsePoint{0x400};

// The tag of a reparse point: which driver owns it and what it means.
class ReparseTag {
  public:
    constexpr ReparseTag() = default;
    constexpr explicit ReparseTag(std::uint32_t value) : value_(value) {}
    [[nodiscard]] constexpr std::uint32_t value() const { return value_; }
    // A name surrogate stands for another named object: junctions and symbolic links are,
    // placeholders of cloud files and deduplicated files are not.
    [[nodiscard]] constexpr bool is_name_surrogate() const { return (value_ & 0x20000000) != 0; }
    friend constexpr bool operator==(ReparseTag, ReparseTag) = default;

    static const ReparseTag MountPoint;
    static const ReparseTag Symlink;

  private:
    std::uint32_t value_ = 0;
};
inline constexpr ReparseTag ReparseTag::MountPoint{0xA0000003};
inline constexpr ReparseTag ReparseTag::Symlink{0xA000000C};

// GetFileType's answer.
enum class FileType : std::uint32_t { Unknown = 0, Disk = 1, Char = 2, Pipe = 3 };

// FileDispositionInfoEx's flags.
class DispositionFlags final : public BitMask<DispositionFlags> {
  public:
    using BitMask::BitMask;
    static const DispositionFlags Delete;
    static const DispositionFlags PosixSemantics; // the name goes at once, not at the last close
    static const DispositionFlags IgnoreReadonly;
};
inline constexpr DispositionFlags DispositionFlags::Delete{0x1};
inline constexpr DispositionFlags DispositionFlags::PosixSemantics{0x2};
inline constexpr DispositionFlags DispositionFlags::IgnoreReadonly{0x10};

// Which parts of a security descriptor SetSecurityInfo changes.
class SecurityInformation final : public BitMask<SecurityInformation> {
  public:
    using BitMask::BitMask;
    static const SecurityInformation Owner;
    static const SecurityInformation Dacl;
    static const SecurityInformation ProtectedDacl; // inherits nothing from the parent
};
inline constexpr SecurityInformation SecurityInformation::Owner{0x1};
inline constexpr SecurityInformation SecurityInformation::Dacl{0x4};
inline constexpr SecurityInformation SecurityInformation::ProtectedDacl{0x80000000};

// FormatMessageW's flags.
class MessageFlags final : public BitMask<MessageFlags> {
  public:
    using BitMask::BitMask;
    static const MessageFlags IgnoreInserts;
    static const MessageFlags FromModule;
    static const MessageFlags FromSystem;
};
inline constexpr MessageFlags MessageFlags::IgnoreInserts{0x200};
inline constexpr MessageFlags MessageFlags::FromModule{0x800};
inline constexpr MessageFlags MessageFlags::FromSystem{0x1000};

// The access asked for when the Service Control Manager or a service is opened.
class ServiceAccess final : public BitMask<ServiceAccess> {
  public:
    using BitMask::BitMask;
    static const ServiceAccess ManagerConnect;
    static const ServiceAccess QueryStatus;
    static const ServiceAccess Stop;
    static const ServiceAccess Delete;
};
inline constexpr ServiceAccess ServiceAccess::ManagerConnect{0x0001};
inline constexpr ServiceAccess ServiceAccess::QueryStatus{0x0004};
inline constexpr ServiceAccess ServiceAccess::Stop{0x0020};
inline constexpr ServiceAccess ServiceAccess::Delete{0x10000};

enum class ServiceControl : std::uint32_t { Stop = 1 };

// WELL_KNOWN_SID_TYPE values the tool builds.
enum class WellKnownSid : std::uint32_t { LocalSystem = 22, BuiltinAdministrators = 26 };

// A Win32 error code: the thread's last error right after a failed call, or the code a call
// returned. Zero means success where a call returns its code.
class WinCode {
  public:
    constexpr WinCode() = default;
    constexpr explicit WinCode(std::uint32_t value) : value_(value) {}
    [[nodiscard]] constexpr std::uint32_t value() const { return value_; }
    friend constexpr bool operator==(WinCode, WinCode) = default;
    // Written as its number, in test messages and logs.
    template <class Stream> friend Stream& operator<<(Stream& out, WinCode code) {
        out << code.value();
        return out;
    }

    static const WinCode Success;
    static const WinCode InvalidFunction;
    static const WinCode FileNotFound;
    static const WinCode PathNotFound;
    static const WinCode AccessDenied;
    static const WinCode InvalidHandle;
    static const WinCode InvalidDrive;
    static const WinCode NoMoreFiles;
    static const WinCode SharingViolation;
    static const WinCode LockViolation;
    static const WinCode NotSupported;
    static const WinCode BadNetPath;
    static const WinCode BadNetName;
    static const WinCode InvalidParameter;
    static const WinCode InsufficientBuffer;
    static const WinCode DirNotEmpty;
    static const WinCode AlreadyExists;
    static const WinCode FilenameExceedsRange;
    static const WinCode FileTooLarge;
    static const WinCode Directory; // the directory name is invalid: not a directory
    static const WinCode MessageNotFound;
    static const WinCode ServiceDoesNotExist;
    static const WinCode ServiceNotActive;
    static const WinCode ServiceSpecificError;
    static const WinCode ServiceMarkedForDelete;
    static const WinCode TooManyLinks;
    static const WinCode NoneMapped;
    static const WinCode InvalidAcl;
    static const WinCode InvalidSid;
    static const WinCode CantResolveFilename;
    static const WinCode ReparsePointEncountered;

  private:
    std::uint32_t value_ = 0;
};
inline constexpr WinCode WinCode::Success{0};
inline constexpr WinCode WinCode::InvalidFunction{1};
inline constexpr WinCode WinCode::FileNotFound{2};
inline constexpr WinCode WinCode::PathNotFound{3};
inline constexpr WinCode WinCode::AccessDenied{5};
inline constexpr WinCode WinCode::InvalidHandle{6};
inline constexpr WinCode WinCode::InvalidDrive{15};
inline constexpr WinCode WinCode::NoMoreFiles{18};
inline constexpr WinCode WinCode::SharingViolation{32};
inline constexpr WinCode WinCode::LockViolation{33};
inline constexpr WinCode WinCode::NotSupported{50};
inline constexpr WinCode WinCode::BadNetPath{53};
inline constexpr WinCode WinCode::BadNetName{67};
inline constexpr WinCode WinCode::InvalidParameter{87};
inline constexpr WinCode WinCode::InsufficientBuffer{122};
inline constexpr WinCode WinCode::DirNotEmpty{145};
inline constexpr WinCode WinCode::AlreadyExists{183};
inline constexpr WinCode WinCode::FilenameExceedsRange{206};
inline constexpr WinCode WinCode::FileTooLarge{223};
inline constexpr WinCode WinCode::Directory{267};
inline constexpr WinCode WinCode::MessageNotFound{317};
inline constexpr WinCode WinCode::ServiceDoesNotExist{1060};
inline constexpr WinCode WinCode::ServiceNotActive{1062};
inline constexpr WinCode WinCode::ServiceSpecificError{1066};
inline constexpr WinCode WinCode::ServiceMarkedForDelete{1072};
inline constexpr WinCode WinCode::TooManyLinks{1142};
inline constexpr WinCode WinCode::NoneMapped{1332};
inline constexpr WinCode WinCode::InvalidAcl{1336};
inline constexpr WinCode WinCode::InvalidSid{1337};
inline constexpr WinCode WinCode::CantResolveFilename{1921};
inline constexpr WinCode WinCode::ReparsePointEncountered{4395};

// References to security objects that the seam handed out (or that live in a SidBuffer). They do
// not own what they point to.
template <class Tag> class SecurityRef {
  public:
    constexpr SecurityRef() = default;
    constexpr explicit SecurityRef(const void* pointer) : pointer_(pointer) {}
    [[nodiscard]] constexpr const void* get() const { return pointer_; }
    [[nodiscard]] constexpr explicit operator bool() const { return pointer_ != nullptr; }

  private:
    const void* pointer_ = nullptr;
};
using SidRef = SecurityRef<struct SidTag>;
using DescriptorRef = SecurityRef<struct DescriptorTag>;
using AclRef = SecurityRef<struct AclTag>;

// Room for the largest possible SID (68 bytes), 8-byte aligned: a well-known SID, held by value.
struct alignas(8) SidBuffer {
    std::array<std::byte, 72> bytes{};
    [[nodiscard]] SidRef ref() const { return SidRef(bytes.data()); }
};
inline constexpr std::uint32_t SID_BUFFER_SIZE = 68;

// SERVICE_STATUS (from a control) or the same fields of SERVICE_STATUS_PROCESS (from a query),
// as the system reported them; judging them is the caller's work.
struct ServiceStatus {
    std::uint32_t service_type = 0;
    std::uint32_t current_state = 0;
    std::uint32_t controls_accepted = 0;
    std::uint32_t win32_exit_code = 0;
    std::uint32_t service_specific_exit_code = 0;
    std::uint32_t checkpoint = 0;
    std::uint32_t wait_hint = 0;
};

} // namespace orvex
