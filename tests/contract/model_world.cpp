// The contract cases against the in-memory model.
#include "contract/seam_contract.hpp"

#include "common/text.hpp"
#include "support.hpp"

namespace orvex::contract {

class ModelWorld {
  public:
    ModelWorld() {
        model_.add_directory("C:\\scratch");
        // Small enough that the listing case needs several calls, as a full buffer does on Windows.
        model_.listing_batch = 64;
        // As the cases run on Windows: elevated, as an administrator.
        model_.caller = Caller::Administrator;
    }
    ~ModelWorld() {
        for (const std::uintptr_t handle : held_) {
            model_.close_external(handle);
        }
        testing::expect_nothing_leaked(model_);
    }
    ModelWorld(const ModelWorld&) = delete;
    ModelWorld& operator=(const ModelWorld&) = delete;

    System& system() { return model_; }
    static std::u16string scratch() { return u"C:\\scratch"; }

    std::uintptr_t hold(const std::u16string& path, ShareMode share,
                        Access access = Access::GenericRead | Access::GenericWrite) {
        const std::string text = wtf8_from_utf16(without_nul(path));
        if (!model_.exists(text)) {
            return 0;
        }
        return held_.emplace_back(model_.open_external(text, share, access));
    }
    // The other process's LockFile is the same call as ours, on its own handle.
    SysResult<void> lock_held(std::uintptr_t handle, std::uint64_t offset, std::uint64_t length) {
        const WinCode code = model_.lock_external(handle, offset, length);
        return code == WinCode::Success ? SysResult<void>{} : sys_fail(code);
    }
    void release(std::uintptr_t handle) {
        std::erase(held_, handle);
        model_.close_external(handle);
    }

    bool make_junction(const std::u16string& path, const std::u16string& target) {
        model_.add_junction(wtf8_from_utf16(without_nul(path)),
                            wtf8_from_utf16(without_nul(target)));
        return true;
    }

    bool make_symlink(const std::u16string& path, const std::u16string& target, bool directory) {
        model_.add_symlink(wtf8_from_utf16(without_nul(path)), wtf8_from_utf16(without_nul(target)),
                           directory);
        return true;
    }

    static bool refuses_delete_pending_opens() { return true; }
    static bool checks_attribute_access() { return true; }
    static bool keeps_security() { return true; }
    static bool removes_with_posix_semantics() { return true; }
    static bool empty_locks_have_an_end() { return true; }
    static bool runs_as_local_system() { return false; }

  private:
    MemorySystem model_;
    std::vector<std::uintptr_t> held_;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Contract, SeamContract, ModelWorld);

} // namespace orvex::contract
