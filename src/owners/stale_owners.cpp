#include "owners/stale_owners.hpp"

#include "common/files.hpp"
#include "common/sha256.hpp"
#include "common/text.hpp"
#include "owners/tree_removal.hpp"
#include "state_dir/lock_files.hpp"
#include "state_dir/private_directory.hpp"

namespace orvex {
namespace {

constexpr std::string_view OWNER_LOCK_HELD =
    "service owner lock is held; stop the service before stale-owner maintenance";

// What an entry of the users directory is judged through: its attributes only, which no sharing
// mode refuses, so that a folder that another process holds is still judged, whatever it shares,
// and only a stale one, which must be removed, fails. Opens relative to it need no access on it.
constexpr Access JUDGE_ACCESS = Access::ReadAttributes;

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

// Examines one entry of the users directory, open as `users`; removes it when its owner is stale
// and then gives its name. Everything is opened relative to a verified handle by the exact listed
// name, so neither a link swapped in meanwhile nor the system's normalisation of path names can
// redirect a step.
Result<std::optional<std::string>> process_entry(System& system, const ServiceLayout& layout,
                                                 FileRef users, const FindData& entry,
                                                 const std::optional<ActiveOwnerState>& active,
                                                 DeletionContext& deletion) {
    // The listing reports each entry's own attributes and reparse tag, never a link's target's.
    // Files and links are left where they are without being opened.
    if (!is_real_directory(AttributeTag{entry.attributes, entry.reparse_tag})) {
        return std::nullopt;
    }
    if (!is_valid_unicode(std::u16string_view{entry.name})) {
        return std::nullopt;
    }
    auto directory = system.open_relative(users, entry.name, JUDGE_ACCESS);
    if (!directory) {
        return fail(ErrorChain::from(SystemError::from_code(directory.error())));
    }
    // What was opened decides, not what the listing said a moment earlier.
    auto own = system.attribute_tag(directory->ref());
    if (!own) {
        return fail(ErrorChain::from(SystemError::from_code(own.error())));
    }
    if (!is_real_directory(*own)) {
        return std::nullopt; // files, symbolic links and junctions stay where they are
    }
    std::string name = wtf8_from_utf16(entry.name);

    auto bytes = read_relative_file(system, directory->ref(), OWNER_METADATA_FILE_NAME_W);
    if (!bytes) {
        if (is_absent_or_unreachable(bytes.error())) {
            return std::nullopt;
        }
        return fail(ErrorChain::from(bytes.error()));
    }
    auto identity = parse_owner_identity(*bytes);
    if (!identity) {
        return fail(ErrorChain::context("failed to parse Windows owner metadata",
                                        std::move(identity.error())));
    }
    if (owner_key_for(*identity) != name) {
        return std::nullopt; // byte for byte: no case folding, no normalisation
    }
    auto verdict = judge(system, *identity);
    if (!verdict) {
        return fail(std::move(verdict.error()));
    }
    if (*verdict == Verdict::Keep) {
        return std::nullopt;
    }

    const std::string removal_failed = "failed to remove stale owner state " + name;
    // DELETE is asked for only now, of the judged object itself: an empty name relative to its
    // handle opens that object again, so nothing renamed or swapped in meanwhile is removed. The
    // judging handle is closed, so that the removal's is the last one on the directory.
    auto removal = system.open_relative(directory->ref(), u"", TREE_ACCESS);
    if (!removal) {
        return fail(ErrorChain::context(removal_failed, SystemError::from_code(removal.error())));
    }
    directory->reset();

    // By path: its directory, the service directory, is verified and held by the caller.
    if (active && active->owner_key == name) {
        if (auto cleared = delete_file(system, active_owner_path(layout));
            !cleared && !is_absent_or_unreachable(cleared.error())) {
            return fail(ErrorChain::context("failed to clear stale active owner", cleared.error()));
        }
    }
    // owner.json goes last, so that a run stopped anywhere in the tree leaves the owner
    // recognisable, and the next run finishes the removal.
    if (auto tree =
            remove_tree(system, std::move(*removal), *own, deletion, OWNER_METADATA_FILE_NAME_W);
        !tree) {
        return fail(ErrorChain::context(removal_failed, tree.error()));
    }
    return name;
}

// Opens the users directory relative to the held service directory, as itself: nothing when it
// does not exist; a link or a non-directory fails the listing. Its owner must be LocalSystem or
// Builtin Administrators: one that an ordinary user created before the service did is theirs to
// fill with whatever they want removed or read.
Result<std::optional<UniqueHandle>> open_users_directory(System& system, FileRef service_dir,
                                                         const std::string& users) {
    const auto enumerate_failed = [&](WinCode code) {
        return fail(ErrorChain::context("failed to enumerate " + quote_path(users),
                                        SystemError::from_code(code)));
    };
    auto handle =
        system.open_relative(service_dir, std::u16string(USERS_DIR_NAME_W),
                             Access::ListDirectory | Access::ReadAttributes | Access::ReadControl);
    if (!handle) {
        if (is_absent_or_unreachable(SystemError::from_code(handle.error()))) {
            return std::optional<UniqueHandle>{};
        }
        return enumerate_failed(handle.error());
    }
    auto tag = system.attribute_tag(handle->ref());
    if (!tag) {
        return enumerate_failed(tag.error());
    }
    if (is_link(*tag)) {
        return enumerate_failed(WinCode::ReparsePointEncountered);
    }
    if (!tag->attributes.intersects(FileAttributes::Directory)) {
        return enumerate_failed(WinCode::Directory);
    }
    auto trusted = has_system_owner(system, handle->ref());
    if (!trusted) {
        return fail(std::move(trusted.error()));
    }
    if (!*trusted) {
        return fail(ErrorChain::message("users directory " + quote_path(users) +
                                        " has an unexpected owner"));
    }
    return std::optional<UniqueHandle>{std::move(*handle)};
}

} // namespace

std::string owner_key_for(const OwnerIdentity& identity) {
    if (const auto* unix_identity = std::get_if<UnixIdentity>(&identity.value)) {
        return std::to_string(unix_identity->uid);
    }
    const auto digest = sha256(std::get<WindowsIdentity>(identity.value).sid);
    return digest ? to_hex(*digest) : std::string();
}

Result<bool> sid_has_account(System& system, std::string_view sid) {
    // A NUL would end the text early for the system, which would then judge a different SID
    // than the one the directory's key was computed from.
    const auto wide = to_system_string(sid);
    if (!wide) {
        return fail(ErrorChain::context("failed to parse owner SID",
                                        SystemError::from_code(WinCode::InvalidSid)));
    }
    auto converted = system.convert_string_sid(*wide);
    if (!converted) {
        return fail(ErrorChain::context("failed to parse owner SID",
                                        SystemError::from_code(converted.error())));
    }
    // Asked with no buffers, LookupAccountSidW never succeeds: a known account answers that the
    // buffers are too small (122), an unknown one that no mapping exists (1332).
    const WinCode code = system.lookup_account_sid_probe(converted->ref());
    if (code == WinCode::InsufficientBuffer) {
        return true;
    }
    if (code == WinCode::NoneMapped) {
        return false;
    }
    return fail(ErrorChain::context("failed to resolve owner SID", SystemError::from_code(code)));
}

Result<std::optional<ActiveOwnerState>>
load_active_owner(System& system, const ServiceLayout& layout, FileRef service_dir) {
    const std::string path = active_owner_path(layout);
    auto bytes = read_relative_file(system, service_dir, ACTIVE_OWNER_FILE_NAME_W);
    if (!bytes) {
        if (is_absent_or_unreachable(bytes.error())) {
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
    // The service directory is verified first and held until the end: every path used below
    // passes through it, and while the handle is open nobody can swap it for a junction.
    auto service_dir = hold_service_directory(system, layout.service_dir);
    if (!service_dir) {
        return fail(std::move(service_dir.error()));
    }
    if (!*service_dir) {
        // What securing the runtime directory would report, since it creates no parent. Nothing
        // below a path that named nothing is resolved again: a junction made there at this moment
        // would lead the elevated securing of `runtime` to wherever it points.
        return fail(ErrorChain::context("failed to create private service directory " +
                                            quote_path(layout.runtime_dir),
                                        SystemError::from_code(WinCode::PathNotFound)));
    }
    if (auto secured = ensure_private_directory(system, layout.runtime_dir, RUNTIME_DIR_PROFILE);
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

    const std::string users_path = users_dir(layout);
    auto users = open_users_directory(system, (*service_dir)->ref(), users_path);
    if (!users) {
        return fail(std::move(users.error()));
    }
    if (!*users) {
        return std::vector<std::string>{};
    }
    const FileRef users_handle = (*users)->ref();
    auto batch = system.list_directory(users_handle);
    if (!batch) {
        const SystemError error = SystemError::from_code(batch.error());
        if (batch.error() == WinCode::NoMoreFiles || is_absent_or_unreachable(error)) {
            return std::vector<std::string>{};
        }
        return fail(ErrorChain::context("failed to enumerate " + quote_path(users_path), error));
    }

    // An active owner record that is missing, unreadable or invalid means no active owner.
    std::optional<ActiveOwnerState> active;
    if (auto loaded = load_active_owner(system, layout, (*service_dir)->ref()); loaded) {
        active = std::move(*loaded);
    }

    std::vector<std::string> removed;
    DeletionContext deletion;
    for (;;) {
        for (const FindData& entry : *batch) {
            if (is_dot_entry(entry.name)) {
                continue;
            }
            auto outcome = process_entry(system, layout, users_handle, entry, active, deletion);
            if (!outcome) {
                return fail(std::move(outcome.error()));
            }
            if (*outcome) {
                removed.push_back(std::move(**outcome));
            }
        }
        batch = system.list_directory(users_handle);
        if (!batch) {
            if (batch.error() == WinCode::NoMoreFiles) {
                return removed;
            }
            return fail(ErrorChain::from(SystemError::from_code(batch.error())));
        }
    }
}

} // namespace orvex
