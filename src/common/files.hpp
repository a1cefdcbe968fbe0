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

// Metadata of `path`, following links (an open for no data access, then the handle's information).
[[nodiscard]] FileResult<FileInformation> file_metadata(System& system, std::string_view path);

// Deletes a file. When the system refuses with access denied (a read-only file, typically), the
// file is opened for DELETE without following a final link and marked for deletion with POSIX
// semantics, ignoring the read-only attribute. If that fallback fails too, the first error stands.
[[nodiscard]] FileResult<void> delete_file(System& system, std::string_view path);

// Reads a whole file.
[[nodiscard]] FileResult<std::string> read_whole_file(System& system, std::string_view path);

} // namespace orvex
