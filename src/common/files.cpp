#include "common/files.hpp"

#include <array>

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
// file system supports it; otherwise the classic disposition, after clearing a read-only attribute.
FileResult<void> delete_by_handle(System& system, std::uintptr_t handle, const AttributeTag& tag) {
    auto posix = system.set_disposition_ex(handle, DISPOSITION_POSIX_IGNORING_READONLY);
    if (posix) {
        return {};
    }
    const WinCode code = posix.error();
    if (code != WinCode::InvalidParameter && code != WinCode::NotSupported &&
        code != WinCode::InvalidFunction) {
        return failed(code);
    }
    if (tag.attributes.intersects(FileAttributes::ReadOnly)) {
        const FileAttributes cleared = tag.attributes.without(FileAttributes::ReadOnly);
        if (auto set = system.set_attributes(
                handle, cleared == FileAttributes{} ? FileAttributes::Normal : cleared);
            !set) {
            return failed(set.error());
        }
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
    std::array<char, 64 * 1024> buffer{};
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

} // namespace

FileResult<void> remove_tree(System& system, UniqueHandle root, const AttributeTag& root_tag) {
    if (!is_real_directory(root_tag)) {
        return delete_by_handle(system, root.get(), root_tag); // a link goes as itself
    }

    // One open directory per level of the walk, with the entries of its current batch not yet
    // handled. Only the directories on the current path are open at any time.
    struct Level {
        UniqueHandle handle;
        AttributeTag tag;
        std::vector<FindData> batch;
        std::size_t next = 0;
    };
    std::vector<Level> stack;
    stack.push_back(Level{std::move(root), root_tag, {}, 0});
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next == level.batch.size()) {
            auto batch = system.list_directory(level.handle.get());
            if (batch) {
                level.batch = std::move(*batch);
                level.next = 0;
                continue;
            }
            if (batch.error() != WinCode::NoMoreFiles) {
                return failed(batch.error());
            }
            // Everything below has gone: the directory itself goes now.
            if (auto deleted = delete_by_handle(system, level.handle.get(), level.tag); !deleted) {
                return deleted;
            }
            stack.pop_back();
            continue;
        }
        const FindData& entry = level.batch[level.next++];
        if (is_dot_entry(entry.name)) {
            continue;
        }
        auto child = system.open_relative(level.handle.get(), entry.name, TREE_ACCESS);
        if (!child) {
            if (child.error() == WinCode::FileNotFound) {
                continue; // removed by someone else meanwhile
            }
            return failed(child.error());
        }
        // The decision rests on what was opened, not on what the listing said.
        auto tag = system.attribute_tag(child->get());
        if (!tag) {
            return failed(tag.error());
        }
        if (is_real_directory(*tag)) {
            if (stack.size() > MAX_TREE_DEPTH) {
                return failed(WinCode::FilenameExceedsRange);
            }
            stack.push_back(Level{std::move(*child), *tag, {}, 0}); // `level` is not used again
        } else if (auto deleted = delete_by_handle(system, child->get(), *tag); !deleted) {
            return deleted;
        }
    }
    return {};
}

FileResult<std::string> read_whole_file(System& system, std::string_view path) {
    const auto wide = to_system_string(path);
    if (!wide) {
        return nul_in_path();
    }
    auto handle = system.create_file(*wide, Access::GenericRead, ShareMode::All,
                                     Disposition::OpenExisting, OpenFlags::IdentifyOnly);
    if (!handle) {
        return failed(handle.error());
    }
    return read_bounded(system, handle->get());
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
