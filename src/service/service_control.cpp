#include "service/service_control.hpp"

#include "common/text.hpp"

namespace orvex {

std::string RawValueError::text() const {
    switch (kind) {
    case Kind::InvalidInteger:
        return "invalid unsigned integer for the target type: " + std::to_string(unsigned_value);
    case Kind::InvalidIntegerSigned:
        return "invalid signed integer for the target type: " + std::to_string(signed_value);
    case Kind::InvalidGuid:
        return "invalid GUID value for the target type: " + guid;
    }
    return {};
}

ServiceError ServiceError::winapi(WinCode code) {
    ServiceError e;
    e.kind_ = Kind::Winapi;
    e.system_ = SystemError::from_code(code);
    return e;
}

ServiceError ServiceError::parse_value(std::string name, RawValueError error) {
    ServiceError e;
    e.kind_ = Kind::ParseValue;
    e.name_ = std::move(name);
    e.raw_ = std::move(error);
    return e;
}

ServiceError ServiceError::argument_has_nul_byte(std::string name) {
    ServiceError e;
    e.kind_ = Kind::ArgumentHasNulByte;
    e.name_ = std::move(name);
    return e;
}

ServiceError ServiceError::argument_array_element_has_nul_byte(std::string name,
                                                               std::size_t index) {
    ServiceError e;
    e.kind_ = Kind::ArgumentArrayElementHasNulByte;
    e.name_ = std::move(name);
    e.index_ = index;
    return e;
}

ServiceError ServiceError::launch_arguments_not_supported() {
    ServiceError e;
    e.kind_ = Kind::LaunchArgumentsNotSupported;
    return e;
}

std::string ServiceError::text() const {
    switch (kind_) {
    case Kind::Winapi:
        return "IO error in winapi call";
    case Kind::ParseValue:
        return "invalid " + name_ + " value";
    case Kind::ArgumentHasNulByte:
        return name_ + " contains a nul byte";
    case Kind::ArgumentArrayElementHasNulByte:
        return name_ + " contains a nul byte in element at " + std::to_string(index_) + " index";
    case Kind::LaunchArgumentsNotSupported:
        return "kernel drivers do not support launch arguments";
    }
    return {};
}

bool ServiceError::is_winapi(WinCode code) const {
    return kind_ == Kind::Winapi && system_.has_code(code);
}

ErrorChain ServiceError::into_chain() const {
    switch (kind_) {
    case Kind::Winapi:
        return ErrorChain::from_links({text(), system_});
    case Kind::ParseValue:
        return ErrorChain::from_links({text(), raw_.text()});
    default:
        return ErrorChain::message(text());
    }
}

ServiceResult<ServiceStatusRecord> decode_service_status(const ServiceStatus& status) {
    const std::uint32_t state = status.current_state;
    if (state < 1 || state > 7) {
        return std::unexpected(ServiceError::parse_value(
            "service status", RawValueError{RawValueError::Kind::InvalidInteger, state, 0, {}}));
    }
    ServiceStatusRecord record;
    record.service_type = status.service_type & SERVICE_TYPE_MASK;
    record.current_state = static_cast<ServiceRunState>(state);
    record.controls_accepted = status.controls_accepted & SERVICE_ACCEPT_MASK;
    const std::uint32_t win32_exit = status.win32_exit_code;
    record.exit_code = win32_exit == WinCode::ServiceSpecificError.value()
                           ? ServiceExitCode{ServiceExitCode::Kind::ServiceSpecific,
                                             status.service_specific_exit_code}
                           : ServiceExitCode{ServiceExitCode::Kind::Win32, win32_exit};
    record.checkpoint = status.checkpoint;
    record.wait_hint = std::chrono::milliseconds(status.wait_hint);
    return record;
}

ServiceResult<ServiceStatusRecord> ServiceHandle::query_status() {
    auto queried = system_->query_service_status(handle_.ref());
    if (!queried) {
        return std::unexpected(ServiceError::winapi(queried.error()));
    }
    return decode_service_status(*queried);
}

ServiceResult<ServiceStatusRecord> ServiceHandle::stop() {
    auto sent = system_->control_service(handle_.ref(), ServiceControl::Stop);
    if (!sent) {
        return std::unexpected(ServiceError::winapi(sent.error()));
    }
    return decode_service_status(*sent);
}

ServiceResult<void> ServiceHandle::delete_service() {
    if (auto deleted = system_->delete_service(handle_.ref()); !deleted) {
        return std::unexpected(ServiceError::winapi(deleted.error()));
    }
    return {};
}

ServiceResult<ScmConnection> ScmConnection::connect(System& system, ServiceAccess access) {
    auto handle = system.open_sc_manager(access);
    if (!handle) {
        return std::unexpected(ServiceError::winapi(handle.error()));
    }
    return ScmConnection(system, std::move(*handle));
}

ServiceResult<ServiceHandle> ScmConnection::open_service(std::string_view name,
                                                         ServiceAccess access) {
    const auto wide = to_system_string(name);
    if (!wide) {
        return std::unexpected(ServiceError::argument_has_nul_byte("service name"));
    }
    auto handle = system_->open_service(handle_.ref(), *wide, access);
    if (!handle) {
        return std::unexpected(ServiceError::winapi(handle.error()));
    }
    return ServiceHandle(*system_, std::move(*handle));
}

} // namespace orvex
