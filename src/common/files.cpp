#include "common/files.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "common/text.hpp"

namespace orvex {
namespace {

constexpr DispositionFlags DISPOSITION_POSIX_IGNORING_READONLY =
    DispositionFlags::Delete | DispositionFlags::PosixSemantics | DispositionFlags::IgnoreReadonly;

std::unexpected<SystemError> failed(WinCode code) {
    return std::unexpected(SystemError::from_code(code));
}
std::unexpected<SystemError> nul_in_path() {
    return std::unexpected(SystemError::fixed(NUL_IN_PATH_DESCRIPTION));
}

} // namespace

bool names_nothing(SystemError error) {
    return error.has_code(WinCode::FileNotFound) || error.has_code(WinCode::PathNotFound);
}

bool is_not_found(SystemError error) {
    for (const WinCode code : {WinCode::FileNotFound, WinCode::PathNotFound, WinCode::InvalidDrive,
                               WinCode::BadNetPath, WinCode::BadNetName}) {
        if (error.has_code(code)) {
            return true;
        }
    }
    return false;
}

bool is_dot_entry(std::u16string_view name) {
    return name == u"." || name == u"..";
}

FileResult<FileInformation> file_metadata(System& system, std::string_view path) {
    const auto wide = to_system_string(path);
    if (!wide) {
        return nul_in_path();
    }
    auto handle = system.create_file(*wide, Access{}, ShareMode::All, Disposition::OpenExisting,
                                     OpenFlags::BackupSemantics | OpenFlags::IdentifyOnly);
    if (!handle) {
        return failed(handle.error());
    }
    auto info = system.file_information(handle->get());
    if (!info) {
        return failed(info.error());
    }
    return *info;
}

FileResult<void> delete_file(System& system, std::string_view path) {
    const auto wide = to_system_string(path);
    if (!wide) {
        return nul_in_path();
    }
    auto deleted = system.delete_file(*wide);
    if (deleted) {
        return {};
    }
    if (deleted.error() != WinCode::AccessDenied) {
        return failed(deleted.error());
    }
    auto handle =
        system.create_file(*wide, Access::Delete, ShareMode::All, Disposition::OpenExisting,
                           OpenFlags::OpenReparsePoint | OpenFlags::IdentifyOnly);
    if (handle && system.set_disposition_ex(handle->get(), DISPOSITION_POSIX_IGNORING_READONLY)) {
        return {};
    }
    return failed(WinCode::AccessDenied);
}

bool is_link(const AttributeTag& tag) {
    return tag.attributes.intersects(FileAttributes::ReparsePoint) &&
           tag.reparse_tag.is_name_surrogate();
}

bool is_real_directory(const AttributeTag& tag) {
    return tag.attributes.intersects(FileAttributes::Directory) && !is_link(tag);
}

namespace {

// Marks an open object for deletion: POSIX semantics ignoring the read-only attribute where the
// file system supports it; otherwise the classic disposition, after clearing a read-only attribute
// (and noting that in `tag`, so that another attempt does not clear it again). Without a `tag`
// (a file opened as a non-directory), the attributes are read only if the classic disposition
// refuses the file as read-only.
FileResult<void> delete_by_handle(System& system, std::uintptr_t handle,
                                  std::optional<AttributeTag>& tag, DeletionContext& context) {
    if (!context.posix_unsupported) {
        auto posix = system.set_disposition_ex(handle, DISPOSITION_POSIX_IGNORING_READONLY);
        if (posix) {
            return {};
        }
        const WinCode code = posix.error();
        if (code != WinCode::InvalidParameter && code != WinCode::NotSupported &&
            code != WinCode::InvalidFunction) {
            return failed(code);
        }
        context.posix_unsupported = true;
    }
    if (!tag) {
        auto classic = system.set_disposition(handle, true);
        if (classic || classic.error() != WinCode::AccessDenied) {
            return classic ? FileResult<void>{} : failed(classic.error());
        }
        auto read = system.attribute_tag(handle);
        if (!read) {
            return failed(read.error());
        }
        if (!read->attributes.intersects(FileAttributes::ReadOnly)) {
            return failed(WinCode::AccessDenied);
        }
        tag = *read;
    }
    if (tag->attributes.intersects(FileAttributes::ReadOnly)) {
        // The attribute belongs to the file, not to this name: cleared through a second name
        // planted here, it would change a file that lives on elsewhere. A file with one name now
        // is one whose only name is in this tree, which its owner could delete anyway.
        auto info = system.file_information(handle);
        if (!info) {
            return failed(info.error());
        }
        if (info->links > 1) {
            return failed(WinCode::TooManyLinks);
        }
        const FileAttributes cleared = tag->attributes.without(FileAttributes::ReadOnly);
        if (auto set = system.set_attributes(
                handle, cleared == FileAttributes{} ? FileAttributes::Normal : cleared);
            !set) {
            return failed(set.error());
        }
        tag->attributes = cleared;
    }
    if (auto classic = system.set_disposition(handle, true); !classic) {
        return failed(classic.error());
    }
    return {};
}

// Reads from an open file until its end, refusing more than MAX_DOCUMENT_SIZE bytes. The file
// may grow while it is read; the bound holds whatever its size said at the start.
FileResult<std::string> read_bounded(System& system, std::uintptr_t handle) {
    std::string contents;
    std::array<char, 64 * 1024> buffer; // written by each read before it is used
    for (;;) {
        auto read = system.read_file(handle, buffer);
        if (!read) {
            return failed(read.error());
        }
        if (*read == 0) {
            return contents;
        }
        if (*read > MAX_DOCUMENT_SIZE - contents.size()) {
            return failed(WinCode::FileTooLarge);
        }
        contents.append(buffer.data(), *read);
    }
}

// An entry of a directory being removed, opened as itself. One listed as a non-directory is opened
// as a non-directory, which the open itself guarantees, so its attributes need not be read; its
// `tag` stays empty. Any other entry, and one whose open as a non-directory fails for any reason
// but its absence (a directory swapped in meanwhile, say), is opened as whatever it is and judged
// by its own attributes: the decision rests on what was opened, not on what the listing said.
struct Child {
    UniqueHandle handle;
    std::optional<AttributeTag> tag;
};

SysResult<Child> open_child(System& system, std::uintptr_t directory, const FindData& entry) {
    if (!entry.attributes.intersects(FileAttributes::Directory)) {
        auto file =
            system.open_relative(directory, entry.name, TREE_ACCESS, OpenKind::NonDirectory);
        if (file) {
            return Child{std::move(*file), std::nullopt};
        }
        if (file.error() == WinCode::FileNotFound) {
            return sys_fail(file.error());
        }
    }
    auto child = system.open_relative(directory, entry.name, TREE_ACCESS);
    if (!child) {
        return sys_fail(child.error());
    }
    auto tag = system.attribute_tag(child->get());
    if (!tag) {
        return sys_fail(tag.error());
    }
    return Child{std::move(*child), *tag};
}

// Whether two names are the same to the file system, which folds case (ASCII is enough for the
// names the tool holds back).
bool same_name(std::u16string_view a, std::u16string_view b) {
    const auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [&](char16_t x, char16_t y) { return fold(x) == fold(y); });
}

} // namespace

FileResult<void> delete_open_file(System& system, std::uintptr_t handle) {
    DeletionContext context;
    std::optional<AttributeTag> tag;
    return delete_by_handle(system, handle, tag, context);
}

FileResult<void> remove_tree(System& system, UniqueHandle root, const AttributeTag& root_tag,
                             DeletionContext& context, std::u16string_view last) {
    std::optional<AttributeTag> tag = root_tag;
    if (!is_real_directory(*tag)) {
        return delete_by_handle(system, root.get(), tag, context); // a link goes as itself
    }

    // One open directory per level of the walk, with the entries of its current batch not yet
    // handled. Only the directories on the current path are open at any time.
    struct Level {
        UniqueHandle handle;
        std::optional<AttributeTag> tag; // always known for a directory
        std::vector<FindData> batch;
        std::size_t next = 0;
        bool batch_done = false; // its entries are gone; the directory may be empty now
    };
    std::vector<Level> stack;
    stack.reserve(8); // an owner's tree is two levels deep; deeper ones grow the stack as usual
    stack.push_back(Level{std::move(root), tag, {}, 0, false});
    std::size_t listings = 0; // in the whole tree: a directory made ahead of the walk costs one too
    std::vector<FindData> held_back; // the root's entries named `last`
    bool releasing = false;          // they are being deleted now
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next == level.batch.size()) {
            const bool holding_back = stack.size() == 1 && !held_back.empty() && !releasing;
            // A listing tells that its batch was the last only on the next call, so the directory
            // is tried at once instead: that call ends it, or says that more entries remain. While
            // the root holds back an entry it cannot be empty, so it is only listed on.
            if (level.batch_done && !holding_back) {
                level.batch_done = false;
                auto deleted = delete_by_handle(system, level.handle.get(), level.tag, context);
                if (deleted) {
                    stack.pop_back();
                    continue;
                }
                if (!deleted.error().has_code(WinCode::DirNotEmpty)) {
                    return deleted;
                }
            }
            if (++listings > MAX_TREE_LISTINGS) {
                return failed(WinCode::DirNotEmpty); // filled as fast as it is emptied
            }
            auto batch = system.list_directory(level.handle.get());
            if (batch) {
                level.batch = std::move(*batch);
                level.next = 0;
                level.batch_done = true;
                continue;
            }
            if (batch.error() != WinCode::NoMoreFiles) {
                return failed(batch.error());
            }
            if (holding_back) {
                // Everything else has gone: now the held-back entries, then the root.
                level.batch = std::move(held_back);
                level.next = 0;
                level.batch_done = true;
                releasing = true;
                continue;
            }
            // Everything listed has gone: the directory itself goes now.
            if (auto deleted = delete_by_handle(system, level.handle.get(), level.tag, context);
                !deleted) {
                return deleted;
            }
            stack.pop_back();
            continue;
        }
        const FindData& entry = level.batch[level.next++];
        if (is_dot_entry(entry.name)) {
            continue;
        }
        if (stack.size() == 1 && !releasing && !last.empty() && same_name(entry.name, last)) {
            held_back.push_back(entry);
            continue;
        }
        auto child = open_child(system, level.handle.get(), entry);
        if (!child) {
            if (child.error() == WinCode::FileNotFound) {
                continue; // removed by someone else meanwhile
            }
            return failed(child.error());
        }
        if (child->tag && is_real_directory(*child->tag)) {
            if (stack.size() > MAX_TREE_DEPTH) {
                return failed(WinCode::FilenameExceedsRange);
            }
            // `level` is not used again
            stack.push_back(Level{std::move(child->handle), child->tag, {}, 0, false});
        } else if (auto deleted =
                       delete_by_handle(system, child->handle.get(), child->tag, context);
                   !deleted) {
            return deleted;
        }
    }
    return {};
}

FileResult<std::string> read_relative_file(System& system, std::uintptr_t directory,
                                           std::u16string_view name) {
    auto handle = system.open_relative(directory, std::u16string(name), Access::GenericRead);
    if (!handle) {
        return failed(handle.error());
    }
    auto tag = system.attribute_tag(handle->get());
    if (!tag) {
        return failed(tag.error());
    }
    if (is_link(*tag)) {
        return failed(WinCode::ReparsePointEncountered);
    }
    if (tag->attributes.intersects(FileAttributes::Directory)) {
        return failed(WinCode::AccessDenied);
    }
    return read_bounded(system, handle->get());
}

} // namespace orvex
