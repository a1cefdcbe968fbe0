#pragma once
// ErrorChain: the one form in which a failure travels up to the entry. A chain is a message and
// its ordered causes; it is moved, never copied, and rendered once by the error report.

#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/seam_types.hpp"

namespace orvex {

// A Windows error code from the thread's last-error value (or a code that a call returned).
// Only the code is stored; its text is looked up from the system when the chain is rendered.
// A failure detected before any system call (a path that cannot be handed to the system) has
// no code but a fixed description, and renders as that text alone.
struct SystemError {
    std::int32_t code = 0;
    const char* description = nullptr; // a static text, or null for a system code

    static SystemError from_code(WinCode code) {
        return SystemError{static_cast<std::int32_t>(code.value()), nullptr};
    }
    static SystemError fixed(const char* description) { return SystemError{0, description}; }
    [[nodiscard]] bool has_code(WinCode value) const {
        return description == nullptr && static_cast<std::uint32_t>(code) == value.value();
    }
    friend bool operator==(const SystemError& a, const SystemError& b) {
        return a.code == b.code && a.description == b.description;
    }
};

// The description of a path or name that holds a NUL character.
inline constexpr const char* NUL_IN_PATH_DESCRIPTION = "path contains a NUL character";

// A failure of the JSON reader: its message and the 1-based line and column of the fault.
struct JsonError {
    std::string message;
    std::uint64_t line = 1;
    std::uint64_t column = 1;

    [[nodiscard]] std::string text() const {
        return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
    }
    friend bool operator==(const JsonError&, const JsonError&) = default;
};

// One link of a chain: fixed text, or a cause whose text is produced when rendered.
using ErrorLink = std::variant<std::string, SystemError, JsonError>;

class [[nodiscard]] ErrorChain {
  public:
    // One link: a fixed or formatted message.
    static ErrorChain message(std::string text) { return ErrorChain{{ErrorLink{std::move(text)}}}; }
    // Two links: the step's context, then the system error that caused it.
    static ErrorChain context(std::string text, SystemError cause) {
        return ErrorChain{{ErrorLink{std::move(text)}, ErrorLink{cause}}};
    }
    // Two links: the step's context, then the parse error that caused it.
    static ErrorChain context(std::string text, JsonError cause) {
        return ErrorChain{{ErrorLink{std::move(text)}, ErrorLink{std::move(cause)}}};
    }
    // One link: a file-system failure passed up without a context of its own.
    static ErrorChain from(SystemError error) { return ErrorChain{{ErrorLink{error}}}; }
    // Any number of links; the first is the head. Used by conversions of layered error types.
    static ErrorChain from_links(std::vector<ErrorLink> links) {
        return ErrorChain{std::move(links)};
    }

    ErrorChain(ErrorChain&&) noexcept = default;
    ErrorChain& operator=(ErrorChain&&) noexcept = default;
    ErrorChain(const ErrorChain&) = delete;
    ErrorChain& operator=(const ErrorChain&) = delete;
    ~ErrorChain() = default;

    [[nodiscard]] const std::vector<ErrorLink>& links() const { return links_; }

  private:
    explicit ErrorChain(std::vector<ErrorLink> links) : links_(std::move(links)) {}
    std::vector<ErrorLink> links_;
};

template <class T> using Result = std::expected<T, ErrorChain>;

inline std::unexpected<ErrorChain> fail(ErrorChain chain) {
    return std::unexpected<ErrorChain>(std::move(chain));
}

} // namespace orvex
