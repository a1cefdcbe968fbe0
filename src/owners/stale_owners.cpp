#include "owners/stale_owners.hpp"

#include "common/files.hpp"
#include "common/sha256.hpp"
#include "common/text.hpp"
#include "platform/win32_constants.hpp"
#include "state_dir/lock_files.hpp"
#include "state_dir/private_directory.hpp"

namespace orvex {
namespace {

constexpr std::string_view OWNER_LOCK_HELD =
    "service owner lock is held; stop the service before stale-owner maintenance";

std::string hex(const Sha256Digest& digest) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    out.reserve(digest.size() * 2);
    for (const std::uint8_t byte : digest) {
        out.push_back(DIGITS[byte >> 4]);
        out.push_back(DIGITS[byte & 0xF]);
    }
    return out;
}

enum class Verdict { Keep, Stale };

Result<Verdict> judge(System& system, const OwnerIdentity& identity) {
    if (const auto* windows = std::get_if<WindowsIdentity>(&identity.value)) {
        auto has_account = sid_has_account(system, windows->sid);
        if (!has_account) {
            return fail(std::move(has_account.error()));
        }
        return *has_account ? Verdict::Keep : Verdict::Stale;
    }
    return Verdict::Stale; // a Unix identity never names an account here
}

// Examines one entry of the users directory; removes it when its owner is stale.
Result<bool> process_entry(System& system, const ServiceLayout& layout, const std::string& users,
                           const FindData& entry, const std::optional<ActiveOwnerState>& active) {
    const std::string name = wtf8_from_utf16(entry.name);
    const std::string path = join_path(users, name);

    // The entry's own attributes and reparse tag, read without following a link.
    AttributeTag own;
    {
        const auto wide = to_system_string(path);
        if (!wide) {
            return fail(ErrorChain::from(SystemError::fixed(NUL_IN_PATH_DESCRIPTION)));
        }
        auto handle = system.create_file(
            *wide, win::FILE_READ_ATTRIBUTES, win::FILE_SHARE_ALL, win::OPEN_EXISTING,
            win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT);
        if (!handle) {
            return fail(ErrorChain::from(SystemError::from_code(handle.error())));
        }
        auto tag = system.attribute_tag(handle->get());
        if (!tag) {
            return fail(ErrorChain::from(SystemError::from_code(tag.error())));
        }
        own = *tag;
    }
    const bool directory = (own.attributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool name_surrogate = (own.attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                                (own.reparse_tag & win::REPARSE_TAG_NAME_SURROGATE) != 0;
    if (!directory || name_surrogate) {
        return false; // files, symbolic links and junctions stay where they are
    }
    if (!is_valid_unicode(std::u16string_view{entry.name})) {
        return false;
    }

    auto bytes = read_whole_file(system, join_path(path, OWNER_METADATA_FILE_NAME));
    if (!bytes) {
        if (is_not_found(bytes.error())) {
            return false;
        }
        return fail(ErrorChain::from(bytes.error()));
    }
    auto identity = parse_owner_identity(*bytes);
    if (!identity) {
        return fail(ErrorChain::context("failed to parse Windows owner metadata",
                                        std::move(identity.error())));
    }
    if (owner_key_for(*identity) != name) {
        return false; // byte for byte: no case folding, no normalisation
    }
    auto verdict = judge(system, *identity);
    if (!verdict) {
        return fail(std::move(verdict.error()));
    }
    if (*verdict == Verdict::Keep) {
        return false;
    }

    if (active && active->owner_key == name) {
        if (auto cleared = delete_file(system, active_owner_path(layout));
            !cleared && !is_not_found(cleared.error())) {
            return fail(ErrorChain::context("failed to clear stale active owner", cleared.error()));
        }
    }
    if (auto removed = remove_tree(system, path); !removed) {
        return fail(
            ErrorChain::context("failed to remove stale owner state " + name, removed.error()));
    }
    return true;
}

} // namespace

std::string owner_key_for(const OwnerIdentity& identity) {
    if (const auto* unix_identity = std::get_if<UnixIdentity>(&identity.value)) {
        return std::to_string(unix_identity->uid);
    }
    const auto digest = sha256(std::get<WindowsIdentity>(identity.value).sid);
    return digest ? hex(*digest) : std::string();
}

Result<bool> sid_has_account(System& system, std::string_view sid) {
    // A NUL would end the text early for the system, which would then judge a different SID
    // than the one the directory's key was computed from.
    const auto wide = to_system_string(sid);
    if (!wide) {
        return fail(ErrorChain::context("failed to parse owner SID",
                                        SystemError::from_code(win::ERROR_INVALID_SID)));
    }
    auto converted = system.convert_string_sid(*wide);
    if (!converted) {
        return fail(ErrorChain::context("failed to parse owner SID",
                                        SystemError::from_code(converted.error())));
    }
    const WinCode code = system.lookup_account_sid_probe(converted->ptr());
    if (code == win::ERROR_INSUFFICIENT_BUFFER) {
        return true;
    }
    if (code == win::ERROR_NONE_MAPPED) {
        return false;
    }
    return fail(ErrorChain::context("failed to resolve owner SID", SystemError::from_code(code)));
}

Result<std::optional<ActiveOwnerState>> load_active_owner(System& system,
                                                          const ServiceLayout& layout) {
    const std::string path = active_owner_path(layout);
    auto bytes = read_whole_file(system, path);
    if (!bytes) {
        if (is_not_found(bytes.error())) {
            return std::optional<ActiveOwnerState>{};
        }
        return fail(ErrorChain::context("failed to read " + quote_path(path), bytes.error()));
    }
    auto state = parse_active_owner_state(*bytes);
    if (!state) {
        return fail(
            ErrorChain::context("failed to parse " + quote_path(path), std::move(state.error())));
    }
    return std::optional<ActiveOwnerState>{std::move(*state)};
}

Result<std::vector<std::string>> cleanup_stale_owners(System& system) {
    const ServiceLayout layout = service_layout(system);
    if (auto secured =
            ensure_private_directory(system, layout.runtime_dir, RUNTIME_DIR_SDDL, true, true);
        !secured) {
        return fail(std::move(secured.error()));
    }

    auto locked = lock_file_whole(system, layout.owner_lock_path);
    if (!locked) {
        if (locked.error().stage == LockFileFailure::Stage::Open) {
            return fail(ErrorChain::from(locked.error().error));
        }
        return fail(ErrorChain::context(std::string(OWNER_LOCK_HELD), locked.error().error));
    }
    // Held until this function returns, on every path; the service cannot start meanwhile.
    const OwnerLock owner_lock(std::move(*locked));

    const std::string users = users_dir(layout);
    auto listing = system.find_first(*to_system_string(join_path(users, "*")));
    if (!listing) {
        const SystemError error = SystemError::from_code(listing.error());
        if (is_not_found(error)) {
            return std::vector<std::string>{};
        }
        return fail(ErrorChain::context("failed to enumerate " + quote_path(users), error));
    }

    // An active owner record that is missing, unreadable or invalid means no active owner.
    std::optional<ActiveOwnerState> active;
    if (auto loaded = load_active_owner(system, layout); loaded) {
        active = std::move(*loaded);
    }

    std::vector<std::string> removed;
    FindData entry = std::move(listing->data);
    for (;;) {
        if (!is_dot_entry(entry.name)) {
            auto outcome = process_entry(system, layout, users, entry, active);
            if (!outcome) {
                return fail(std::move(outcome.error()));
            }
            if (*outcome) {
                removed.push_back(wtf8_from_utf16(entry.name));
            }
        }
        auto next = system.find_next(listing->handle.get());
        if (!next) {
            if (next.error() == win::ERROR_NO_MORE_FILES) {
                return removed;
            }
            return fail(ErrorChain::from(SystemError::from_code(next.error())));
        }
        entry = std::move(*next);
    }
}

} // namespace orvex
