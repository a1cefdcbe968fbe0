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

SysResult<UniqueScHandle> MemorySystem::open_sc_manager(std::uint32_t access) {
    if (auto failure = enter(Op::OpenScManager, std::to_string(access))) {
        return sys_fail(*failure);
    }
    Impl::Entry e;
    e.type = Impl::Entry::Type::Manager;
    e.access = access;
    manager_opens.push_back(access);
    return UniqueScHandle(*this, impl_->add_handle(std::move(e)));
}

SysResult<UniqueScHandle> MemorySystem::open_service(std::uintptr_t manager,
                                                     const std::u16string& name,
                                                     std::uint32_t access) {
    const std::string text = from_system(name);
    if (auto failure = enter(Op::OpenService, text + " " + std::to_string(access))) {
        return sys_fail(*failure);
    }
    if (impl_->entry(manager, Impl::Entry::Type::Manager) == nullptr) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    auto it = impl_->services.find(upper(text));
    if (it == impl_->services.end()) {
        return sys_fail(win::ERROR_SERVICE_DOES_NOT_EXIST);
    }
    ++it->second.handles;
    service_opens.push_back({text, access});
    Impl::Entry e;
    e.type = Impl::Entry::Type::Service;
    e.access = access;
    e.service = it->first;
    return UniqueScHandle(*this, impl_->add_handle(std::move(e)));
}

namespace {
void fill_status(std::byte* at, const MemorySystem::Service& s, std::uint32_t state) {
    put32(at + 0, 0x10); // SERVICE_WIN32_OWN_PROCESS
    put32(at + 4, state);
    put32(at + 8, state == 4 ? 0x1 : 0x0);
    put32(at + 12, s.exit_code);
    put32(at + 16, 0);
    put32(at + 20, 0);
    put32(at + 24, 0);
}
} // namespace

SysResult<void> MemorySystem::query_service_status(std::uintptr_t service,
                                                   ServiceStatusBytes& status) {
    if (auto failure = enter(Op::QueryServiceStatus)) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(service, Impl::Entry::Type::Service);
    if (e == nullptr) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    Service& s = impl_->services.at(e->service);
    if (s.queries_since_stop >= 0 && s.stop == ServiceStop::Prompt && s.state != 1) {
        if (s.queries_since_stop >= s.stop_delay_queries) {
            s.state = 1;
        }
        ++s.queries_since_stop;
    }
    fill_status(status.data(), s, s.state);
    put32(status.data() + 28, s.state == 1 ? 0 : 4242); // dwProcessId
    put32(status.data() + 32, 0);
    return {};
}

SysResult<void> MemorySystem::control_service(std::uintptr_t service, std::uint32_t control,
                                              ControlStatusBytes& status) {
    if (auto failure = enter(Op::ControlService, std::to_string(control))) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(service, Impl::Entry::Type::Service);
    if (e == nullptr) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    Service& s = impl_->services.at(e->service);
    ++s.stop_controls;
    if (s.state == 1) {
        return sys_fail(win::ERROR_SERVICE_NOT_ACTIVE);
    }
    if (s.stop == ServiceStop::Refuse) {
        return sys_fail(s.stop_error);
    }
    if (s.stop == ServiceStop::Prompt) {
        s.state = 3; // SERVICE_STOP_PENDING
        s.queries_since_stop = 0;
    }
    fill_status(status.data(), s, s.raw_state_after_stop != 0 ? s.raw_state_after_stop : s.state);
    return {};
}

SysResult<void> MemorySystem::delete_service(std::uintptr_t service) {
    if (auto failure = enter(Op::DeleteService)) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(service, Impl::Entry::Type::Service);
    if (e == nullptr) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    Service& s = impl_->services.at(e->service);
    if (s.marked_for_delete) {
        return sys_fail(win::ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    s.marked_for_delete = true;
    return {};
}

} // namespace orvex
