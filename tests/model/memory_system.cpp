// The model as a whole: its start state, its rendering for failure messages, the release calls.
#include "model/model_state.hpp"
#include <functional>
#include <sstream>

namespace orvex {

using namespace model;

MemorySystem::MemorySystem()
    : impl_(std::make_unique<Impl>()), failures_at_start_(model::failures_so_far()) {
    impl_->root->name = "C:";
    impl_->root->owner = std::string(SID_LOCAL_SYSTEM);
    impl_->root->attributes = FileAttributes::Directory;
    impl_->root->dacl = "(A;OICI;FA;;;WD)"; // everyone may do everything unless a test says not
    add_directory("C:\\ProgramData");
    system_messages = {
        {2, u"File not found.\r\n"},
        {3, u"Path not found.\r\n"},
        {5, u"Access denied.\r\n"},
        {6, u"Invalid handle.\r\n"},
        {32, u"Sharing violation.\r\n"},
        {33, u"Lock violation.\r\n"},
        {87, u"Invalid parameter.\r\n"},
        {122, u"Insufficient buffer.\r\n"},
        {145, u"Directory is not empty.\r\n"},
        {183, u"File already exists.\r\n"},
        {1052, u"Requested control is not valid for this service.\r\n"},
        {1060, u"Service does not exist.\r\n"},
        {1062, u"Service not active.\r\n"},
        {1072, u"Service marked for delete.\r\n"},
        {1332, u"No security ID mapped.\r\n"},
        {1337, u"Invalid SID.\r\n"},
    };
}

MemorySystem::~MemorySystem() {
    check_on_destruction(*this, rules_, failures_at_start_);
}

std::string MemorySystem::state() const {
    std::string out;
    std::function<void(const Node&, int)> walk = [&](const Node& node, int depth) {
        out += std::string(static_cast<std::size_t>(depth) * 2, ' ') + node.name;
        out += node.kind == Node::Kind::Directory ? "\\" : "";
        if (node.is_link()) {
            out += " -> " + node.link_target;
        }
        out += " owner=" + node.owner + " dacl=" + node.dacl + "\n";
        for (const auto& [key, child] : node.children) {
            walk(*child, depth + 1);
        }
    };
    walk(*impl_->root, 0);
    out += "open handles: " + std::to_string(open_handles()) + "\n";
    constexpr std::size_t SHOWN = 60;
    const std::size_t first = calls_.size() > SHOWN ? calls_.size() - SHOWN : 0;
    out += "calls " + std::to_string(first + 1) + " to " + std::to_string(calls_.size()) + ":\n";
    for (std::size_t i = first; i < calls_.size(); ++i) {
        std::ostringstream line;
        line << "  " << calls_[i] << "\n";
        out += line.str();
    }
    return out;
}

// ---- Release calls ----

void MemorySystem::close_handle(std::uintptr_t handle) {
    enter(Op::CloseHandle);
    if (impl_->entry(handle, Impl::Entry::Type::File) == nullptr) {
        ++bad_releases_;
        return;
    }
    impl_->release_file_handle(handle);
}

void MemorySystem::close_service_handle(std::uintptr_t service) {
    enter(Op::CloseServiceHandle);
    auto it = impl_->handles.find(service);
    if (it == impl_->handles.end() || (it->second.type != Impl::Entry::Type::Service &&
                                       it->second.type != Impl::Entry::Type::Manager)) {
        ++bad_releases_;
        return;
    }
    if (it->second.type == Impl::Entry::Type::Service) {
        impl_->remove_service_handle(it->second.service, slept_);
    }
    impl_->handles.erase(it);
}

void MemorySystem::local_free(std::uintptr_t memory) {
    enter(Op::LocalFree);
    if (allocations_.erase(memory) == 0) {
        ++bad_releases_;
        return;
    }
}

} // namespace orvex
