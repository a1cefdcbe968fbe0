// The call log and failure injection.
#include "model/model_state.hpp"

namespace orvex {

using namespace model;

std::optional<WinCode> MemorySystem::enter(std::string_view operation, std::string_view argument) {
    std::string line(operation);
    if (!argument.empty()) {
        line += ' ';
        line += argument;
    }
    calls_.push_back(line);
    if (on_call) {
        on_call(line);
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
            return rule.code;
        }
    }
    return std::nullopt;
}

void MemorySystem::fail_call(std::string operation, int nth, WinCode code, std::string argument) {
    rules_.push_back(FailureRule{std::move(operation), nth, code, std::move(argument), 0});
}

std::size_t MemorySystem::count_calls(std::string_view operation) const {
    return static_cast<std::size_t>(std::ranges::count_if(calls_, [&](const std::string& line) {
        return line == operation || (line.size() > operation.size() &&
                                     line.starts_with(operation) && line[operation.size()] == ' ');
    }));
}

std::size_t MemorySystem::open_handles() const {
    return static_cast<std::size_t>(std::ranges::count_if(
        impl_->handles, [](const auto& item) { return !item.second.external; }));
}

} // namespace orvex
