// Files, directories, links and devices: set-up and the seam calls on them.
#include "model/model_state.hpp"

namespace orvex {

using namespace model;

// ---- Scenario set-up ----

Node& MemorySystem::add_directory(std::string_view path, std::string_view owner) {
    const auto parts = split_path(path);
    return *impl_->make_directories(parts, parts.size(), owner);
}

Node& MemorySystem::add_file(std::string_view path, std::string_view contents,
                             std::uint32_t extra_attributes) {
    const auto parts = split_path(path);
    auto parent = impl_->make_directories(parts, parts.size() - 1, SID_LOCAL_SYSTEM);
    auto node = impl_->attach(parent, parts.back(), Node::Kind::File);
    node->contents = std::string(contents);
    node->attributes |= extra_attributes;
    node->owner = creator_owner;
    return *node;
}

Node& MemorySystem::add_junction(std::string_view path, std::string_view target) {
    Node& node = add_directory(path);
    node.attributes |= win::FILE_ATTRIBUTE_REPARSE_POINT;
    node.reparse_tag = win::IO_REPARSE_TAG_MOUNT_POINT;
    node.link_target = std::string(target);
    return node;
}

Node& MemorySystem::add_symlink(std::string_view path, std::string_view target, bool directory) {
    Node& node = directory ? add_directory(path) : add_file(path);
    node.attributes |= win::FILE_ATTRIBUTE_REPARSE_POINT;
    node.reparse_tag = win::IO_REPARSE_TAG_SYMLINK;
    node.link_target = std::string(target);
    return node;
}

Node& MemorySystem::add_device(std::string_view path) {
    Node& node = add_file(path);
    node.kind = Node::Kind::Device;
    return node;
}

void MemorySystem::remove(std::string_view path) {
    auto r = impl_->resolve(path, false);
    if (r.node) {
        impl_->detach(r.node);
    }
}

WinCode MemorySystem::remove_external(std::string_view path) {
    auto r = impl_->resolve(path, false);
    if (!r.node) {
        return r.error != 0 ? r.error : win::ERROR_FILE_NOT_FOUND;
    }
    if (impl_->sharing_conflict(r.node.get(), win::DELETE, win::FILE_SHARE_ALL)) {
        return win::ERROR_SHARING_VIOLATION;
    }
    impl_->detach(r.node);
    return 0;
}

Node* MemorySystem::find(std::string_view path) {
    return impl_->resolve(path, false).node.get();
}

std::uintptr_t MemorySystem::open_external(std::string_view path, std::uint32_t share) {
    auto r = impl_->resolve(path, true);
    Impl::Entry e;
    e.node = r.node;
    e.access = win::GENERIC_READ | win::GENERIC_WRITE;
    e.share = share;
    e.external = true;
    return impl_->add_handle(std::move(e));
}

void MemorySystem::lock_external(std::uintptr_t handle, std::uint64_t offset,
                                 std::uint64_t length) {
    impl_->locks[impl_->handles.at(handle).node.get()].push_back({handle, offset, length});
}

void MemorySystem::close_external(std::uintptr_t handle) {
    impl_->release_file_handle(handle);
}

// ---- Files ----

SysResult<void> MemorySystem::create_directory(const std::u16string& path, const void* descriptor) {
    const std::string text = from_system(path);
    if (auto failure = enter(Op::CreateDirectory, text)) {
        return sys_fail(*failure);
    }
    auto r = impl_->resolve(text, false);
    if (r.error != 0 && !r.node) {
        return sys_fail(r.error);
    }
    if (r.node) {
        // A name whose deletion waits for its last handle is still taken, and Windows refuses
        // every open of it, this one included, with STATUS_DELETE_PENDING (5).
        return sys_fail(r.node->delete_on_close ? win::ERROR_ACCESS_DENIED
                                                : win::ERROR_ALREADY_EXISTS);
    }
    auto node = impl_->attach(r.parent, r.leaf, Node::Kind::Directory);
    const auto* d = static_cast<const DescriptorObject*>(descriptor);
    node->owner =
        (descriptors_set_owner && d != nullptr && !d->owner.empty()) ? d->owner : creator_owner;
    if (d != nullptr && d->has_dacl) {
        node->dacl = d->acl.text;
        node->dacl_protected = d->acl.text.starts_with("P");
    }
    return {};
}

SysResult<UniqueHandle> MemorySystem::create_file(const std::u16string& path, std::uint32_t access,
                                                  std::uint32_t share, std::uint32_t disposition,
                                                  std::uint32_t flags) {
    const std::string text = from_system(path);
    if (auto failure = enter(Op::CreateFile, text)) {
        return sys_fail(*failure);
    }
    const bool follow = (flags & win::FILE_FLAG_OPEN_REPARSE_POINT) == 0;
    auto r = impl_->resolve(text, follow);
    if (!r.node && r.error != 0) {
        return sys_fail(r.error);
    }
    std::shared_ptr<Node> node = r.node;
    if (!node) {
        if (disposition != win::OPEN_ALWAYS) {
            return sys_fail(win::ERROR_FILE_NOT_FOUND);
        }
        node = impl_->attach(r.parent, r.leaf, Node::Kind::File);
        node->owner = creator_owner;
    } else {
        if (node->delete_on_close) {
            return sys_fail(win::ERROR_ACCESS_DENIED);
        }
        if (node->kind == Node::Kind::Directory && (flags & win::FILE_FLAG_BACKUP_SEMANTICS) == 0) {
            return sys_fail(win::ERROR_ACCESS_DENIED);
        }
        if ((node->attributes & win::FILE_ATTRIBUTE_READONLY) != 0 &&
            (access & (win::GENERIC_WRITE | FILE_WRITE_DATA)) != 0) {
            return sys_fail(win::ERROR_ACCESS_DENIED);
        }
        if (impl_->sharing_conflict(node.get(), access, share)) {
            return sys_fail(win::ERROR_SHARING_VIOLATION);
        }
    }
    Impl::Entry e;
    e.node = node;
    e.access = access;
    e.share = share;
    return UniqueHandle(*this, impl_->add_handle(std::move(e)));
}

SysResult<FileInformation> MemorySystem::file_information(std::uintptr_t handle) {
    if (auto failure = enter(Op::FileInformation)) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    return FileInformation{e->node->attributes, 0x1234ABCD, e->node->index,
                           e->node->contents.size(), e->node->links};
}

std::uint32_t MemorySystem::file_type(std::uintptr_t handle) {
    if (enter(Op::FileType)) {
        return 0; // FILE_TYPE_UNKNOWN
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return 0;
    }
    return e->node->kind == Node::Kind::Device ? win::FILE_TYPE_CHAR : win::FILE_TYPE_DISK;
}

SysResult<AttributeTag> MemorySystem::attribute_tag(std::uintptr_t handle) {
    if (auto failure = enter(Op::AttributeTag)) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    return AttributeTag{e->node->attributes, e->node->reparse_tag};
}

SysResult<void> MemorySystem::lock_file(std::uintptr_t handle, std::uint32_t offset_low,
                                        std::uint32_t offset_high, std::uint32_t length_low,
                                        std::uint32_t length_high) {
    if (auto failure = enter(Op::LockFile)) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    const std::uint64_t offset = (std::uint64_t{offset_high} << 32) | offset_low;
    const std::uint64_t length = (std::uint64_t{length_high} << 32) | length_low;
    auto& held = impl_->locks[e->node.get()];
    for (const auto& lock : held) {
        // Ranges [a, a + n) overlap; computed without overflow.
        const bool overlap = offset - lock.offset < lock.length || lock.offset - offset < length;
        if (overlap && length != 0 && lock.length != 0) {
            return sys_fail(win::ERROR_LOCK_VIOLATION);
        }
    }
    held.push_back({handle, offset, length});
    return {};
}

SysResult<std::uint32_t> MemorySystem::read_file(std::uintptr_t handle, std::span<char> buffer) {
    if (auto failure = enter(Op::ReadFile)) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    const std::string& contents = e->node->contents;
    const std::size_t available = contents.size() - std::min(e->position, contents.size());
    const std::size_t count = std::min(available, buffer.size());
    std::memcpy(buffer.data(), contents.data() + e->position, count);
    e->position += count;
    return static_cast<std::uint32_t>(count);
}

SysResult<void> MemorySystem::remove_directory(const std::u16string& path) {
    const std::string text = from_system(path);
    if (auto failure = enter(Op::RemoveDirectory, text)) {
        return sys_fail(*failure);
    }
    auto r = impl_->resolve(text, false);
    if (!r.node) {
        return sys_fail(r.error != 0 ? r.error : win::ERROR_FILE_NOT_FOUND);
    }
    if (r.node->delete_on_close) {
        return sys_fail(win::ERROR_ACCESS_DENIED);
    }
    if (r.node->kind != Node::Kind::Directory) {
        return sys_fail(ERROR_DIRECTORY);
    }
    if (!r.node->children.empty()) {
        return sys_fail(win::ERROR_DIR_NOT_EMPTY);
    }
    if (impl_->sharing_conflict(r.node.get(), win::DELETE, win::FILE_SHARE_ALL)) {
        return sys_fail(win::ERROR_SHARING_VIOLATION);
    }
    // RemoveDirectoryW sets the classic disposition through a handle of its own: with other
    // handles open the directory stays, delete-pending, until the last of them closes.
    if (impl_->has_open_handles(r.node.get())) {
        r.node->delete_on_close = true;
    } else {
        impl_->delete_node(r.node);
    }
    return {};
}

SysResult<void> MemorySystem::delete_file(const std::u16string& path) {
    const std::string text = from_system(path);
    if (auto failure = enter(Op::DeleteFile, text)) {
        return sys_fail(*failure);
    }
    auto r = impl_->resolve(text, false);
    if (!r.node) {
        return sys_fail(r.error != 0 ? r.error : win::ERROR_FILE_NOT_FOUND);
    }
    if (r.node->kind == Node::Kind::Directory || r.node->delete_on_close ||
        (r.node->attributes & win::FILE_ATTRIBUTE_READONLY) != 0) {
        return sys_fail(win::ERROR_ACCESS_DENIED);
    }
    if (impl_->sharing_conflict(r.node.get(), win::DELETE, win::FILE_SHARE_ALL)) {
        return sys_fail(win::ERROR_SHARING_VIOLATION);
    }
    impl_->delete_node(r.node);
    return {};
}

SysResult<void> MemorySystem::set_disposition_ex(std::uintptr_t handle, std::uint32_t flags) {
    if (auto failure = enter(Op::SetDispositionEx)) {
        return sys_fail(*failure);
    }
    if (!disposition_ex_supported) {
        return sys_fail(win::ERROR_INVALID_PARAMETER);
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    if ((e->access & win::DELETE) == 0) {
        return sys_fail(win::ERROR_ACCESS_DENIED);
    }
    Node& node = *e->node;
    if ((node.attributes & win::FILE_ATTRIBUTE_READONLY) != 0 &&
        (flags & win::FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE) == 0) {
        return sys_fail(win::ERROR_ACCESS_DENIED);
    }
    if (node.kind == Node::Kind::Directory && !node.children.empty()) {
        return sys_fail(win::ERROR_DIR_NOT_EMPTY);
    }
    if ((flags & win::FILE_DISPOSITION_FLAG_DELETE) == 0) {
        node.delete_on_close = false;
        return {};
    }
    if ((flags & win::FILE_DISPOSITION_FLAG_POSIX_SEMANTICS) != 0) {
        impl_->delete_node(e->node); // gone from the namespace at once
    } else {
        node.delete_on_close = true;
    }
    return {};
}

SysResult<void> MemorySystem::set_disposition(std::uintptr_t handle, bool delete_file) {
    if (auto failure = enter(Op::SetDisposition)) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    if ((e->access & win::DELETE) == 0 ||
        (e->node->attributes & win::FILE_ATTRIBUTE_READONLY) != 0) {
        return sys_fail(win::ERROR_ACCESS_DENIED);
    }
    if (e->node->kind == Node::Kind::Directory && !e->node->children.empty()) {
        return sys_fail(win::ERROR_DIR_NOT_EMPTY);
    }
    e->node->delete_on_close = delete_file;
    return {};
}

SysResult<void> MemorySystem::set_attributes(std::uintptr_t handle, std::uint32_t attributes) {
    if (auto failure = enter(Op::SetAttributes)) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    if ((e->access & win::FILE_WRITE_ATTRIBUTES) == 0) {
        return sys_fail(win::ERROR_ACCESS_DENIED);
    }
    constexpr std::uint32_t settable = win::FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;
    e->node->attributes = (e->node->attributes & ~settable) | (attributes & settable);
    return {};
}

SysResult<UniqueHandle> MemorySystem::open_relative(std::uintptr_t directory,
                                                    const std::u16string& name,
                                                    std::uint32_t access) {
    const std::string text = wtf8_from_utf16(name);
    if (auto failure = enter(Op::OpenRelative, text)) {
        return sys_fail(*failure);
    }
    auto* parent = impl_->entry(directory, Impl::Entry::Type::File);
    if (parent == nullptr || parent->node->kind != Node::Kind::Directory) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    auto it = parent->node->children.find(upper(text));
    if (it == parent->node->children.end()) {
        return sys_fail(win::ERROR_FILE_NOT_FOUND);
    }
    const std::shared_ptr<Node> node = it->second; // the object itself, never a link's target
    if (node->delete_on_close) {
        return sys_fail(win::ERROR_ACCESS_DENIED);
    }
    if (impl_->sharing_conflict(node.get(), access, win::FILE_SHARE_ALL)) {
        return sys_fail(win::ERROR_SHARING_VIOLATION);
    }
    Impl::Entry e;
    e.node = node;
    e.access = access;
    e.share = win::FILE_SHARE_ALL;
    return UniqueHandle(*this, impl_->add_handle(std::move(e)));
}

SysResult<std::vector<FindData>> MemorySystem::list_directory(std::uintptr_t directory) {
    auto* e = impl_->entry(directory, Impl::Entry::Type::File);
    if (auto failure = enter(Op::ListDirectory, e != nullptr ? e->node->name : std::string())) {
        return sys_fail(*failure);
    }
    e = impl_->entry(directory, Impl::Entry::Type::File); // the hook may have changed the world
    if (e == nullptr || e->node->kind != Node::Kind::Directory) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    using Listing = Impl::Entry::Listing;
    if (e->listing == Listing::Done) {
        return sys_fail(win::ERROR_NO_MORE_FILES);
    }
    const std::size_t limit = std::max<std::size_t>(listing_batch, 1);
    std::vector<FindData> batch;
    if (e->listing == Listing::NotStarted) {
        batch.push_back(FindData{win::FILE_ATTRIBUTE_DIRECTORY, 0, u"."});
        batch.push_back(FindData{win::FILE_ATTRIBUTE_DIRECTORY, 0, u".."});
        e->listing = Listing::Started;
    }
    const auto& children = e->node->children;
    auto it = e->listed_up_to.empty() ? children.begin() : children.upper_bound(e->listed_up_to);
    for (; it != children.end() && batch.size() < limit; ++it) {
        batch.push_back(FindData{it->second->attributes, it->second->reparse_tag,
                                 utf16_from_wtf8(it->second->name)});
        e->listed_up_to = it->first;
    }
    if (batch.empty()) {
        e->listing = Listing::Done;
        return sys_fail(win::ERROR_NO_MORE_FILES);
    }
    return batch;
}

} // namespace orvex
