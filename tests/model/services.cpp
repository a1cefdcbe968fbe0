// The Service Control Manager.
#include "model/model_state.hpp"

namespace orvex {

using namespace model;

MemorySystem::Service& MemorySystem::add_service(std::string_view name) {
    return impl_->services[upper(name)];
}

MemorySystem::Service* MemorySystem::service(std::string_view name) {
    auto it = impl_->services.find(upper(name));
    return it == impl_->services.end() ? nullptr : &it->second;
}

// ---- Service Control Manager ----

SysResult<UniqueScHandle> MemorySystem::open_sc_manager(ServiceAccess access) {
    if (auto failure = enter(Op::OpenScManager, std::to_string(access.bits()))) {
        return sys_fail(*failure);
    }
    Impl::Entry e;
    e.type = Impl::Entry::Type::Manager;
    e.service_access = access;
    manager_opens.push_back(access);
    return UniqueScHandle(*this, impl_->add_handle(std::move(e)));
}

SysResult<UniqueScHandle> MemorySystem::open_service(ServiceRef manager, const std::u16string& name,
                                                     ServiceAccess access) {
    const std::string text = from_system(name);
    if (auto failure = enter(Op::OpenService, text + " " + std::to_string(access.bits()))) {
        return sys_fail(*failure);
    }
    if (impl_->entry(manager, Impl::Entry::Type::Manager) == nullptr) {
        return sys_fail(WinCode::InvalidHandle);
    }
    auto it = impl_->services.find(upper(text));
    if (it == impl_->services.end()) {
        return sys_fail(WinCode::ServiceDoesNotExist);
    }
    ++it->second.handles;
    service_opens.push_back({text, access});
    Impl::Entry e;
    e.type = Impl::Entry::Type::Service;
    e.service_access = access;
    e.service = it->first;
    return UniqueScHandle(*this, impl_->add_handle(std::move(e)));
}

namespace {
// An own-process service that accepts the stop control while it runs.
ServiceStatus status_of(const MemorySystem::Service& s, std::uint32_t state) {
    ServiceStatus status;
    status.service_type = 0x10; // SERVICE_WIN32_OWN_PROCESS
    status.current_state = state;
    status.controls_accepted = state == 4 ? 0x1 : 0x0;
    status.win32_exit_code = s.exit_code;
    return status;
}
} // namespace

SysResult<ServiceStatus> MemorySystem::query_service_status(ServiceRef service) {
    if (auto failure = enter(Op::QueryServiceStatus)) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(service, Impl::Entry::Type::Service);
    if (e == nullptr) {
        return sys_fail(WinCode::InvalidHandle);
    }
    Service& s = impl_->services.at(e->service);
    if (s.queries_since_stop >= 0 && s.stop == ServiceStop::Prompt && s.state != 1) {
        if (s.queries_since_stop >= s.stop_delay_queries) {
            s.state = 1;
        }
        ++s.queries_since_stop;
    }
    return status_of(s, s.state);
}

SysResult<ServiceStatus> MemorySystem::control_service(ServiceRef service, ServiceControl control) {
    if (auto failure =
            enter(Op::ControlService, std::to_string(static_cast<std::uint32_t>(control)))) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(service, Impl::Entry::Type::Service);
    if (e == nullptr) {
        return sys_fail(WinCode::InvalidHandle);
    }
    Service& s = impl_->services.at(e->service);
    ++s.stop_controls;
    if (s.state == 1) {
        return sys_fail(WinCode::ServiceNotActive);
    }
    if (s.state == 2 || s.state == 3) {
        // ERROR_SERVICE_CANNOT_ACCEPT_CTRL, which the reference page gives for a service that is
        // starting or stopping (1052 is for one that does not accept the control:
        // ServiceStop::Refuse).
        return sys_fail(WinCode(1061));
    }
    if (s.stop == ServiceStop::Refuse) {
        return sys_fail(s.stop_error);
    }
    if (s.stop == ServiceStop::Prompt) {
        s.state = 3; // SERVICE_STOP_PENDING
        s.queries_since_stop = 0;
    }
    return status_of(s, s.raw_state_after_stop != 0 ? s.raw_state_after_stop : s.state);
}

SysResult<void> MemorySystem::delete_service(ServiceRef service) {
    if (auto failure = enter(Op::DeleteService)) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(service, Impl::Entry::Type::Service);
    if (e == nullptr) {
        return sys_fail(WinCode::InvalidHandle);
    }
    Service& s = impl_->services.at(e->service);
    if (s.marked_for_delete) {
        return sys_fail(WinCode::ServiceMarkedForDelete);
    }
    s.marked_for_delete = true;
    return {};
}

} // namespace orvex
