#include "owners/tree_removal.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace orvex {
namespace {

std::unexpected<SystemError> failed(WinCode code) {
    return std::unexpected(SystemError::from_code(code));
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

SysResult<Child> open_child(System& system, FileRef directory, const FindData& entry) {
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
    auto tag = system.attribute_tag(child->ref());
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

FileResult<void> remove_tree(System& system, UniqueHandle root, const AttributeTag& root_tag,
                             DeletionContext& context, std::u16string_view last) {
    std::optional<AttributeTag> tag = root_tag;
    if (!is_real_directory(*tag)) {
        return delete_by_handle(system, root.ref(), tag, context); // a link goes as itself
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
                auto deleted = delete_by_handle(system, level.handle.ref(), level.tag, context);
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
            auto batch = system.list_directory(level.handle.ref());
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
            if (auto deleted = delete_by_handle(system, level.handle.ref(), level.tag, context);
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
        auto child = open_child(system, level.handle.ref(), entry);
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
                       delete_by_handle(system, child->handle.ref(), child->tag, context);
                   !deleted) {
            return deleted;
        }
    }
    return {};
}

} // namespace orvex
