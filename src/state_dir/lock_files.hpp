#pragma once
// The two lock files: the repair gate, which keeps an uninstall and a repair apart, and the owner
// lock, which keeps maintenance and the running service apart. Each is an exclusive, non-waiting
// lock on the whole byte range of an empty file, held until its handle is closed.

#include <string_view>
#include <variant>

#include "common/error_chain.hpp"
#include "platform/system.hpp"

namespace orvex {

// Why `lock_file_whole` failed: the open (with the open's error), or the lock (with its code; the
// handle has already been closed).
struct LockFileFailure {
    enum class Stage { Open, Lock };
    Stage stage;
    SystemError error;
};

// Opens (creating it empty when missing, never truncating) and locks 2^64 - 1 bytes from offset 0.
// The file must be a file on disk with one name, opened as itself: a link fails the open with
// ERROR_REPARSE_POINT_ENCOUNTERED, a second hard link with ERROR_TOO_MANY_LINKS.
[[nodiscard]] std::expected<UniqueHandle, LockFileFailure> lock_file_whole(System& system,
                                                                           std::string_view path);

// Holds the repair gate while alive. Dropping it closes the handle and so releases the gate.
class RepairGate {
  public:
    explicit RepairGate(UniqueHandle handle) : handle_(std::move(handle)) {}

  private:
    UniqueHandle handle_;
};

// Holds the owner lock while alive; the same kind of owning handle as RepairGate.
class OwnerLock {
  public:
    explicit OwnerLock(UniqueHandle handle) : handle_(std::move(handle)) {}

  private:
    UniqueHandle handle_;
};

struct RepairGateOutcome {
    struct Acquired {
        RepairGate gate;
    };
    struct Busy {};
    std::variant<Acquired, Busy> value;
};

// Secures the service and bin directories, then takes the repair gate in the bin directory.
// Another holder of any lock on the gate file gives Busy; nothing is waited for.
[[nodiscard]] Result<RepairGateOutcome> acquire_repair_gate(System& system);

} // namespace orvex
