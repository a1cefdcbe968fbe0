#pragma once
// File operations shared by both modes, built on the platform seam. Each returns the SystemError
// of the call that failed; callers decide what a failure means.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "common/error_chain.hpp"
#include "platform/system.hpp"

namespace orvex {

template <class T> using FileResult = std::expected<T, SystemError>;

// Whether an error says that a path names nothing (2, 3): the object, or its directory, is absent.
[[nodiscard]] bool is_absent(SystemError error);

// Whether an error means that the object is absent or cannot be reached: besides `is_absent`, its
// drive or its network share does not exist (15, 53, 67). An error without a system code never
// does. Wider than `is_absent`: for what may be skipped, never for what counts as done.
[[nodiscard]] bool is_absent_or_unreachable(SystemError error);

// Whether a listed name is "." or "..", which listings report and nothing may act on.
[[nodiscard]] bool is_dot_entry(std::u16string_view name);

// Metadata of `path`, following links (an open for no data access, then the handle's information).
[[nodiscard]] FileResult<FileInformation> file_metadata(System& system, std::string_view path);

// Deletes a file. When the system refuses with access denied (a read-only file, typically), the
// file is opened for DELETE without following a final link and marked for deletion with POSIX
// semantics, ignoring the read-only attribute. If that fallback fails too, the first error stands.
[[nodiscard]] FileResult<void> delete_file(System& system, std::string_view path);

// The largest document read whole. Owner documents are a few hundred bytes; a larger file is
// refused with ERROR_FILE_TOO_LARGE instead of being read into memory.
inline constexpr std::size_t MAX_DOCUMENT_SIZE = 1024 * 1024;

// Whether an object is a link: a reparse point whose tag has the name-surrogate bit (junctions,
// symbolic links). Other reparse points (placeholders, deduplicated files) are what they contain.
[[nodiscard]] bool is_link(const AttributeTag& tag);

// A directory that is not a link.
[[nodiscard]] bool is_real_directory(const AttributeTag& tag);

// What the removals of one run have learnt about deletion by handle. Once the file system has
// refused the POSIX disposition as unsupported (ERROR_INVALID_PARAMETER, ERROR_NOT_SUPPORTED or
// ERROR_INVALID_FUNCTION: Wine, FAT, systems before it existed), every later object goes straight
// to the classic disposition. A run's removals stay on one volume: they start below one directory
// and never enter a link.
struct DeletionContext {
    bool posix_unsupported = false;
};

// Marks an open object for deletion: POSIX semantics ignoring the read-only attribute where the
// file system supports it; otherwise the classic disposition, after clearing a read-only attribute
// (never on a file with another name: ERROR_TOO_MANY_LINKS), noting that in `tag` so that another
// attempt does not clear it again. Without a `tag` (a file opened as a non-directory), the
// attributes are read only if the classic disposition refuses the file as read-only.
[[nodiscard]] FileResult<void> delete_by_handle(System& system, FileRef handle,
                                                std::optional<AttributeTag>& tag,
                                                DeletionContext& context);

// Marks the file open as `handle` (with DELETE, READ_ATTRIBUTES and WRITE_ATTRIBUTES) for
// deletion, as the tree removal deletes a file: POSIX semantics ignoring the read-only attribute,
// or, where the file system refuses them, the classic disposition after clearing a read-only
// attribute (never on a file with another name: ERROR_TOO_MANY_LINKS). The file goes when the
// handle is closed.
[[nodiscard]] FileResult<void> delete_open_file(System& system, FileRef handle);

// Reads the whole file `name` inside the directory open as `directory`, at most
// MAX_DOCUMENT_SIZE bytes. The name is opened as itself: a link is refused with
// ERROR_REPARSE_POINT_ENCOUNTERED and a directory with ERROR_ACCESS_DENIED, as a path-based open
// of a directory for reading would be.
[[nodiscard]] FileResult<std::string> read_relative_file(System& system, FileRef directory,
                                                         std::u16string_view name);

} // namespace orvex
