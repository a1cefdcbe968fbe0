#pragma once
// A thin layer over the Service Control Manager: owned handles, the four operations the tool needs
// on a service, a decoded status record, and ServiceError. It holds no policy: it never retries,
// waits or tolerates an error.

#include <chrono>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "common/error_chain.hpp"
#include "platform/system.hpp"

namespace orvex {

enum class ServiceRunState : std::uint32_t {
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
    ContinuePending = 5,
    PausePending = 6,
    Paused = 7,
};

inline constexpr std::uint32_t SERVICE_TYPE_MASK = 0x173;
inline constexpr std::uint32_t SERVICE_ACCEPT_MASK = 0x7ff;

struct ServiceExitCode {
    enum class Kind { Win32, ServiceSpecific };
    Kind kind = Kind::Win32;
    std::uint32_t code = 0;
    friend bool operator==(const ServiceExitCode&, const ServiceExitCode&) = default;
};

struct ServiceStatusRecord {
    std::uint32_t service_type = 0;
    ServiceRunState current_state = ServiceRunState::Stopped;
    std::uint32_t controls_accepted = 0;
    ServiceExitCode exit_code;
    std::uint32_t checkpoint = 0;
    std::chrono::milliseconds wait_hint{0};
};

struct RawValueError {
    enum class Kind { InvalidInteger, InvalidIntegerSigned, InvalidGuid };
    Kind kind = Kind::InvalidInteger;
    std::uint32_t unsigned_value = 0;
    std::int32_t signed_value = 0;
    std::string guid;

    [[nodiscard]] std::string text() const;
};

class ServiceError {
  public:
    enum class Kind {
        Winapi,
        ParseValue,
        ArgumentHasNulByte,
        ArgumentArrayElementHasNulByte,
        LaunchArgumentsNotSupported,
    };

    static ServiceError winapi(WinCode code);
    static ServiceError parse_value(std::string name, RawValueError error);
    static ServiceError argument_has_nul_byte(std::string name);
    static ServiceError argument_array_element_has_nul_byte(std::string name, std::size_t index);
    static ServiceError launch_arguments_not_supported();

    [[nodiscard]] Kind kind() const { return kind_; }
    // The kind's fixed text, which heads the chain.
    [[nodiscard]] std::string text() const;
    // Whether this is Winapi with the given code.
    [[nodiscard]] bool is_winapi(WinCode code) const;
    // The chain: the kind's text, then its cause if it has one. No context is added.
    [[nodiscard]] ErrorChain into_chain() const;

  private:
    Kind kind_ = Kind::Winapi;
    SystemError system_{};
    std::string name_;
    RawValueError raw_;
    std::size_t index_ = 0;
};

template <class T> using ServiceResult = std::expected<T, ServiceError>;

// Decodes the seven leading 32-bit fields that SERVICE_STATUS and SERVICE_STATUS_PROCESS share.
[[nodiscard]] ServiceResult<ServiceStatusRecord> decode_service_status(const ServiceStatus& status);

class ServiceHandle {
  public:
    ServiceHandle(System& system, UniqueScHandle handle)
        : system_(&system), handle_(std::move(handle)) {}

    [[nodiscard]] ServiceResult<ServiceStatusRecord> query_status();
    // Sends SERVICE_CONTROL_STOP and decodes the status that the manager returns.
    [[nodiscard]] ServiceResult<ServiceStatusRecord> stop();
    [[nodiscard]] ServiceResult<void> delete_service();

  private:
    System* system_;
    UniqueScHandle handle_;
};

class ScmConnection {
  public:
    // Connects to the local manager's active database.
    [[nodiscard]] static ServiceResult<ScmConnection> connect(System& system, ServiceAccess access);
    // A name holding a NUL fails with ArgumentHasNulByte before any system call.
    [[nodiscard]] ServiceResult<ServiceHandle> open_service(std::string_view name,
                                                            ServiceAccess access);

  private:
    ScmConnection(System& system, UniqueScHandle handle)
        : system_(&system), handle_(std::move(handle)) {}
    System* system_;
    UniqueScHandle handle_;
};

} // namespace orvex
