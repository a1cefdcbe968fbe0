#include "common/files.hpp"

#include <array>

#include "common/text.hpp"
#include "platform/win32_constants.hpp"

namespace orvex {
namespace {

constexpr std::uint32_t DISPOSITION_POSIX_IGNORING_READONLY =
    win::FILE_DISPOSITION_FLAG_DELETE | win::FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
    win::FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE;

std::unexpected<SystemError> failed(WinCode code) {
    return std::unexpected(SystemError::from_code(code));
}
std::unexpected<SystemError> nul_in_path() {
    return std::unexpected(SystemError::fixed(NUL_IN_PATH_DESCRIPTION));
}

} // namespace

FileResult<FileInformation> file_metadata(System& system, std::string_view path) {
    const auto wide = to_system_string(path);
    if (!wide) {
        return nul_in_path();
    }
    auto handle = system.create_file(*wide, 0, win::FILE_SHARE_ALL, win::OPEN_EXISTING,
                                     win::FILE_FLAG_BACKUP_SEMANTICS);
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
    if (deleted.error() != win::ERROR_ACCESS_DENIED) {
        return failed(deleted.error());
    }
    auto handle = system.create_file(*wide, win::DELETE, win::FILE_SHARE_ALL, win::OPEN_EXISTING,
                                     win::FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle && system.set_disposition_ex(handle->get(), DISPOSITION_POSIX_IGNORING_READONLY)) {
        return {};
    }
    return failed(win::ERROR_ACCESS_DENIED);
}

FileResult<std::string> read_whole_file(System& system, std::string_view path) {
    const auto wide = to_system_string(path);
    if (!wide) {
        return nul_in_path();
    }
    auto handle =
        system.create_file(*wide, win::GENERIC_READ, win::FILE_SHARE_ALL, win::OPEN_EXISTING, 0);
    if (!handle) {
        return failed(handle.error());
    }
    std::string contents;
    std::array<char, 64 * 1024> buffer{};
    for (;;) {
        auto read = system.read_file(handle->get(), buffer);
        if (!read) {
            return failed(read.error());
        }
        if (*read == 0) {
            return contents;
        }
        contents.append(buffer.data(), *read);
    }
}

} // namespace orvex
