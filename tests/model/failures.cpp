// The call log and failure injection.
#include <gtest/gtest.h>

#include <array>
#include <ostream>

#include "model/model_state.hpp"

namespace orvex {

using namespace model;

std::string_view op_name(Op op) {
    static constexpr std::array NAMES{
        "write_console",
        "write_file",
        "sleep",
        "convert_sddl",
        "security_descriptor_dacl",
        "create_well_known_sid",
        "equal_sid",
        "get_owner",
        "set_security_info",
        "convert_string_sid",
        "lookup_account_sid",
        "create_directory",
        "create_file",
        "file_information",
        "file_type",
        "attribute_tag",
        "lock_file",
        "read_file",
        "remove_directory",
        "delete_file",
        "set_disposition_ex",
        "set_disposition",
        "set_attributes",
        "open_relative",
        "list_directory",
        "open_sc_manager",
        "open_service",
        "query_service_status",
        "control_service",
        "delete_service",
        "close_handle",
        "close_service_handle",
        "local_free",
    };
    return NAMES.at(static_cast<std::size_t>(op));
}

std::ostream& operator<<(std::ostream& out, const Call& call) {
    out << op_name(call.op);
    if (!call.argument.empty()) {
        out << ' ' << call.argument;
    }
    return out;
}

std::optional<WinCode> MemorySystem::enter(Op operation, std::string_view argument) {
    calls_.push_back(Call{operation, std::string(argument)});
    if (halt_after && calls_.size() > *halt_after && operation != Op::CloseHandle &&
        operation != Op::CloseServiceHandle && operation != Op::LocalFree) {
        return WinCode(1117); // ERROR_IO_DEVICE
    }
    if (on_call) {
        on_call(calls_.back());
    }
    for (auto& rule : rules_) {
        if (rule.operation != operation) {
            continue;
        }
        if (!rule.argument.empty() && argument.find(rule.argument) == std::string_view::npos) {
            continue;
        }
        ++rule.seen;
        if (rule.nth == 0 || rule.nth == rule.seen) {
            ++rule.fired;
            return rule.code;
        }
    }
    return std::nullopt;
}

void MemorySystem::fail_call(Op operation, int nth, std::uint32_t code, std::string argument) {
    rules_.push_back(FailureRule{operation, nth, WinCode(code), std::move(argument), 0, 0});
}

void MemorySystem::clear_failures() {
    check_rules_fired(rules_);
    rules_.clear();
}

std::size_t MemorySystem::count_calls(Op operation, std::string_view argument) const {
    return static_cast<std::size_t>(std::ranges::count_if(calls_, [&](const Call& call) {
        return call.op == operation && (argument.empty() || call.argument == argument);
    }));
}

const std::vector<std::string>& MemorySystem::deleted() const {
    return impl_->deleted;
}

std::size_t MemorySystem::open_handles() const {
    return static_cast<std::size_t>(std::ranges::count_if(
        impl_->handles, [](const auto& item) { return !item.second.external; }));
}

namespace model {

int failures_so_far() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (test == nullptr) {
        return 0;
    }
    int failed = 0;
    for (int i = 0; i < test->result()->total_part_count(); ++i) {
        failed += test->result()->GetTestPartResult(i).failed() ? 1 : 0;
    }
    return failed;
}

// A rule that never fired means the test no longer sets up what it claims to; a failure seen
// during this model's life is easier to read beside the state that produced it.
void check_rules_fired(const std::vector<MemorySystem::FailureRule>& rules) {
    for (const auto& rule : rules) {
        if (rule.fired == 0) {
            ADD_FAILURE() << "a failure rule for " << op_name(rule.operation)
                          << (rule.argument.empty() ? "" : " " + rule.argument) << " (call "
                          << rule.nth << ") never fired";
        }
    }
}

void check_on_destruction(const MemorySystem& system,
                          const std::vector<MemorySystem::FailureRule>& rules,
                          int failures_at_start) {
    check_rules_fired(rules);
    if (failures_so_far() > failures_at_start) {
        std::cerr << "---- state of the in-memory model ----\n" << system.state();
    }
}

} // namespace model

} // namespace orvex
