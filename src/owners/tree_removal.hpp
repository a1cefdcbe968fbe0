#pragma once
// The removal of a stale owner's tree: link-safe, working from handles, bounded in depth and in
// listings. This is the code that deletes another user's data with elevated rights; everything it
// opens is opened relative to a verified handle, as itself.

#include <cstddef>
#include <string_view>

#include "common/files.hpp"

namespace orvex {

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

} // namespace orvex
