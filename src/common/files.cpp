#include "common/files.hpp"

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

bool is_absent(SystemError error) {
    return error.has_code(WinCode::FileNotFound) || error.has_code(WinCode::PathNotFound);
}

bool is_absent_or_unreachable(SystemError error) {
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
    auto info = system.file_information(handle->ref());
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
    if (handle && system.set_disposition_ex(handle->ref(), DISPOSITION_POSIX_IGNORING_READONLY)) {
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

FileResult<void> delete_by_handle(System& system, FileRef handle, std::optional<AttributeTag>& tag,
                                  DeletionContext& context) {
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

namespace {

// Reads from an open file until its end, refusing more than MAX_DOCUMENT_SIZE bytes. The file
// may grow while it is read; the bound holds whatever its size said at the start.
FileResult<std::string> read_bounded(System& system, FileRef handle) {
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

} // namespace

FileResult<void> delete_open_file(System& system, FileRef handle) {
    DeletionContext context;
    std::optional<AttributeTag> tag;
    return delete_by_handle(system, handle, tag, context);
}

FileResult<std::string> read_relative_file(System& system, FileRef directory,
                                           std::u16string_view name) {
    auto handle = system.open_relative(directory, std::u16string(name), Access::GenericRead);
    if (!handle) {
        return failed(handle.error());
    }
    auto tag = system.attribute_tag(handle->ref());
    if (!tag) {
        return failed(tag.error());
    }
    if (is_link(*tag)) {
        return failed(WinCode::ReparsePointEncountered);
    }
    if (tag->attributes.intersects(FileAttributes::Directory)) {
        return failed(WinCode::AccessDenied);
    }
    return read_bounded(system, handle->ref());
}

} // namespace orvex
