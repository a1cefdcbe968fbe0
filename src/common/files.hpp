#pragma once
// File operations shared by both modes, built on the platform seam. Each returns the SystemError
// of the call that failed; callers decide what a failure means.

#include <cstddef>
#include <cstdint>
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

// Whether an error says that a path names nothing (2, 3): narrower than `is_not_found`, for an
// object whose absence counts as done, where an unreachable drive or share must not.
[[nodiscard]] bool names_nothing(SystemError error);

// Whether a listed name is "." or "..", which listings report and nothing may act on.
[[nodiscard]] bool is_dot_entry(std::u16string_view name);

// Metadata of `path`, following links (an open for no data access, then the handle's information).
[[nodiscard]] FileResult<FileInformation> file_metadata(System& system, std::string_view path);

// Deletes a file. When the system refuses with access denied (a read-only file, typically), the
// file is opened for DELETE without following a final link and marked for deletion with POSIX
// semantics, ignoring the read-only attribute. If that fallback fails too, the first error stands.
[[nodiscard]] FileResult<void> delete_file(System& system, std::string_view path);

// What a tree removal needs on every object it opens: listing a directory, reading and clearing
// attributes, and deleting it.
inline constexpr Access TREE_ACCESS =
    Access::Delete | Access::ListDirectory | Access::ReadAttributes | Access::WriteAttributes;

// No removal descends deeper than this below its root: each level holds one open handle.
inline constexpr std::size_t MAX_TREE_DEPTH = 1024;

// How many directory listings one removal makes in all. A directory takes one listing per batch of
// its entries (a 64 KiB batch: over a hundred entries even at the longest names, several hundred
// usually) and one more to learn that the root has no more; so this covers a tree as deep as
// MAX_TREE_DEPTH, or thousands of directories, or 400,000 entries and more in a few, where an
// owner's tree is two levels deep and a few entries wide. A tree that its owner keeps refilling,
// or keeps growing ahead of the walk, fails the removal with ERROR_DIR_NOT_EMPTY instead of
// running on.
inline constexpr std::size_t MAX_TREE_LISTINGS = 4096;

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

// Removes the directory open as `root` (opened with TREE_ACCESS without following a link, and
// judged by `root_tag`, its own attributes) and everything inside it, working from handles so
// that no link is ever followed, even if the tree changes meanwhile: each child is opened
// relative to its parent's handle without following a final link, judged by the opened object's
// own attributes and reparse tag, and deleted through that handle. Entries of the root named
// `last` (compared as the file system compares names) go after every other entry of every batch,
// and the root right after them, so that a removal stopped anywhere leaves them in place. Links and
// files are deleted as themselves; only real directories are entered. The walk keeps an explicit
// stack, never recursing on depth, and refuses to go deeper than MAX_TREE_DEPTH
// (ERROR_FILENAME_EXCED_RANGE). A directory is marked for deletion as soon as the entries of a
// batch are gone, and listed on only when the system says it is not empty yet (the root, while it
// holds back `last`, until its listing ends); the whole removal lists at most MAX_TREE_LISTINGS
// times. Nothing else is retried: a child that another process
// holds open without sharing deletion fails the removal with its error, leaving the rest of the
// tree as it is. Where only the classic disposition is supported, a read-only file is made writable
// first, unless it has another name (ERROR_TOO_MANY_LINKS): the attribute belongs to the file under
// all its names.
[[nodiscard]] FileResult<void> remove_tree(System& system, UniqueHandle root,
                                           const AttributeTag& root_tag, DeletionContext& context,
                                           std::u16string_view last = {});

// Marks the file open as `handle` (with DELETE, READ_ATTRIBUTES and WRITE_ATTRIBUTES) for
// deletion, as the tree removal deletes a file: POSIX semantics ignoring the read-only attribute,
// or, where the file system refuses them, the classic disposition after clearing a read-only
// attribute (never on a file with another name: ERROR_TOO_MANY_LINKS). The file goes when the
// handle is closed.
[[nodiscard]] FileResult<void> delete_open_file(System& system, std::uintptr_t handle);

// Reads the whole file `name` inside the directory open as `directory`, at most
// MAX_DOCUMENT_SIZE bytes. The name is opened as itself: a link is refused with
// ERROR_REPARSE_POINT_ENCOUNTERED and a directory with ERROR_ACCESS_DENIED, as a path-based open
// of a directory for reading would be.
[[nodiscard]] FileResult<std::string> read_relative_file(System& system, std::uintptr_t directory,
                                                         std::u16string_view name);

} // namespace orvex
