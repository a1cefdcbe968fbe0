#pragma once
// The world of the contract cases on Windows: the Win32 adapter and a scratch directory of the
// running system, removed again after each case.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/system.hpp"
#include "platform/win32/win32_system.hpp"

namespace orvex::contract {

class Win32World {
  public:
    Win32World();
    ~Win32World();
    Win32World(const Win32World&) = delete;
    Win32World& operator=(const Win32World&) = delete;

    System& system() { return system_; }
    // Named after the process, so that cases run in parallel keep apart.
    static std::u16string scratch();

    // Sharing and locks are decided per handle, so a second handle of this process stands in for
    // one that another process holds.
    std::uintptr_t hold(const std::u16string& path, ShareMode share,
                        Access access = Access::GenericRead | Access::GenericWrite);
    SysResult<void> lock_held(std::uintptr_t handle, std::uint64_t offset, std::uint64_t length);
    void release(std::uintptr_t handle);
    bool make_junction(const std::u16string& path, const std::u16string& target);
    bool make_symlink(const std::u16string& path, const std::u16string& target, bool directory);
    static bool refuses_delete_pending_opens();
    static bool checks_attribute_access();
    static bool keeps_security();
    static bool removes_with_posix_semantics();
    static bool empty_locks_have_an_end();
    static bool runs_as_local_system();

  private:
    Win32System system_;
    std::vector<std::uintptr_t> held_;
};

} // namespace orvex::contract
