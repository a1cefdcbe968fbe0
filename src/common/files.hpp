#pragma once
// File operations shared by both modes, built on the platform seam. Each returns the SystemError
// of the call that failed; callers decide what a failure means.

#include <expected>
#include <string>
#include <string_view>

#include "common/error_chain.hpp"
#include "platform/system.hpp"

namespace orvex {

template <class T> using FileResult = std::expected<T, SystemError>;

// Whether an error means that the object, its directory, its drive or its network share does not
// exist (2, 3, 15, 53, 67). An error without a system code never does.
[[nodiscard]] bool is_not_found(SystemError error);

// Whether a listed name is "." or "..", which listings report and nothing may act on.
[[nodiscard]] bool is_dot_entry(std::u16string_view name);

// Metadata of `path`, following links (an open for no data access, then the handle's information).
[[nodiscard]] FileResult<FileInformation> file_metadata(System& system, std::string_view path);

// Deletes a file. When the system refuses with access denied (a read-only file, typically), the
// file is opened for DELETE without following a final link and marked for deletion with POSIX
// semantics, ignoring the read-only attribute. If that fallback fails too, the first error stands.
[[nodiscard]] FileResult<void> delete_file(System& system, std::string_view path);

// Removes a directory and everything inside it, working from handles so that no link is ever
// followed, even if the tree changes meanwhile: each child is opened relative to its parent's
// handle without following a final link, judged by the opened object's own attributes and
// reparse tag, and deleted through that handle. Links and files are deleted as themselves; only
// real directories are entered. The walk keeps an explicit stack, never recursing on depth.
// Nothing is retried: a child that another process holds open without sharing deletion fails the
// removal with its error, leaving the rest of the tree as it is.
[[nodiscard]] FileResult<void> remove_tree(System& system, std::string_view path);

// Reads a whole file.
[[nodiscard]] FileResult<std::string> read_whole_file(System& system, std::string_view path);

} // namespace orvex
