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
                             FileAttributes extra_attributes) {
    const auto parts = split_path(path);
    auto parent = impl_->make_directories(parts, parts.size() - 1, SID_LOCAL_SYSTEM);
    auto node = impl_->attach(parent, parts.back(), Node::Kind::File);
    node->contents = std::string(contents);
    node->attributes = node->attributes | extra_attributes;
    node->owner = creator_owner;
    return *node;
}

Node& MemorySystem::add_junction(std::string_view path, std::string_view target) {
    Node& node = add_directory(path);
    node.attributes = node.attributes | FileAttributes::ReparsePoint;
    node.reparse_tag = ReparseTag::MountPoint;
    node.link_target = std::string(target);
    return node;
}

Node& MemorySystem::add_symlink(std::string_view path, std::string_view target, bool directory) {
    Node& node = directory ? add_directory(path) : add_file(path);
    node.attributes = node.attributes | FileAttributes::ReparsePoint;
    node.reparse_tag = ReparseTag::Symlink;
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
        return r.error != WinCode::Success ? r.error : WinCode::FileNotFound;
    }
    if (impl_->sharing_conflict(r.node.get(), Access::Delete, ShareMode::All)) {
        return WinCode::SharingViolation;
    }
    // A directory with an open handle anywhere below it can be neither renamed nor deleted.
    if (impl_->open_below(*r.node)) {
        return WinCode::AccessDenied;
    }
    impl_->detach(r.node);
    return WinCode::Success;
}

Node* MemorySystem::find(std::string_view path) {
    return impl_->resolve(path, false).node.get();
}

std::uintptr_t MemorySystem::open_external(std::string_view path, ShareMode share, Access access) {
    auto r = impl_->resolve(path, true);
    Impl::Entry e;
    e.node = r.node;
    e.access = access;
    e.share = share;
    e.external = true;
    return impl_->add_handle(std::move(e));
}

WinCode MemorySystem::lock_external(std::uintptr_t handle, std::uint64_t offset,
                                    std::uint64_t length) {
    return impl_->lock_range(handle, offset, length);
}

void MemorySystem::close_external(std::uintptr_t handle) {
    impl_->release_file_handle(handle);
}

// ---- Files ----

SysResult<void> MemorySystem::create_directory(const std::u16string& path,
                                               DescriptorRef descriptor) {
    const std::string text = from_system(path);
    if (auto failure = enter(Op::CreateDirectory, text)) {
        return sys_fail(*failure);
    }
    auto r = impl_->resolve(text, false);
    if (r.error != WinCode::Success && !r.node) {
        return sys_fail(r.error);
    }
    if (r.node) {
        // A name whose deletion waits for its last handle is still taken, and Windows refuses
        // every open of it, this one included, with STATUS_DELETE_PENDING (5).
        return sys_fail(r.node->delete_on_close ? WinCode::AccessDenied : WinCode::AlreadyExists);
    }
    if (!impl_->allows(*r.parent, Access::AppendData, token_of(caller))) { // FILE_ADD_SUBDIRECTORY
        return sys_fail(WinCode::AccessDenied);
    }
    const auto* d = static_cast<const DescriptorObject*>(descriptor.get());
    const bool named_owner = descriptors_set_owner && d != nullptr && !d->owner.empty();
    if (named_owner && !may_own(caller, d->owner)) {
        return sys_fail(WinCode(1307)); // ERROR_INVALID_OWNER
    }
    auto node = impl_->attach(r.parent, r.leaf, Node::Kind::Directory);
    node->owner = named_owner ? d->owner : creator_owner;
    if (d != nullptr && d->has_dacl) {
        node->dacl = d->acl.text;
        node->dacl_protected = d->acl.text.starts_with("P");
    }
    return {};
}

SysResult<UniqueHandle> MemorySystem::create_file(const std::u16string& path, Access access,
                                                  ShareMode share, Disposition disposition,
                                                  OpenFlags flags) {
    const std::string text = from_system(path);
    if (auto failure = enter(Op::CreateFile, text)) {
        return sys_fail(*failure);
    }
    const bool follow = !flags.intersects(OpenFlags::OpenReparsePoint);
    auto r = impl_->resolve(text, follow);
    if (!r.node && r.error != WinCode::Success) {
        return sys_fail(r.error);
    }
    std::shared_ptr<Node> node = r.node;
    if (!node) {
        if (disposition != Disposition::OpenAlways) {
            return sys_fail(WinCode::FileNotFound);
        }
        if (!impl_->allows(*r.parent, Access::WriteData, token_of(caller))) { // FILE_ADD_FILE
            return sys_fail(WinCode::AccessDenied);
        }
        node = impl_->attach(r.parent, r.leaf, Node::Kind::File);
        node->owner = creator_owner;
    } else {
        if (node->delete_on_close) {
            return sys_fail(WinCode::AccessDenied);
        }
        // The access check comes before the sharing check, and nothing bypasses it: no privilege
        // is enabled, so backup semantics grant nothing.
        // CreateFileW asks for SYNCHRONIZE and FILE_READ_ATTRIBUTES besides what it is given.
        if (!impl_->allows(*node, access | Access::ReadAttributes | SYNCHRONIZE,
                           token_of(caller))) {
            return sys_fail(WinCode::AccessDenied);
        }
        if (node->kind == Node::Kind::Directory && !flags.intersects(OpenFlags::BackupSemantics)) {
            return sys_fail(WinCode::AccessDenied);
        }
        if (node->attributes.intersects(FileAttributes::ReadOnly) &&
            access.intersects(Access::GenericWrite | Access::WriteData)) {
            return sys_fail(WinCode::AccessDenied);
        }
        if (impl_->sharing_conflict(node.get(), access, share)) {
            return sys_fail(WinCode::SharingViolation);
        }
    }
    Impl::Entry e;
    e.node = node;
    e.access = access | Access::ReadAttributes; // CreateFileW always asks for it; NtCreateFile not
    e.share = share;
    return UniqueHandle(*this, impl_->add_handle(std::move(e)));
}

namespace {
// Whether a handle may query attributes: FILE_READ_ATTRIBUTES, which GENERIC_READ includes.
bool reads_attributes(Access access) {
    return access.intersects(Access::ReadAttributes | Access::GenericRead);
}
} // namespace

SysResult<FileInformation> MemorySystem::file_information(FileRef handle) {
    if (auto failure = enter(Op::FileInformation)) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return sys_fail(WinCode::InvalidHandle);
    }
    if (!reads_attributes(e->access)) {
        return sys_fail(WinCode::AccessDenied);
    }
    return FileInformation{e->node->attributes, 0x1234ABCD, e->node->index,
                           e->node->contents.size(), e->node->links};
}

FileType MemorySystem::file_type(FileRef handle) {
    if (enter(Op::FileType)) {
        return FileType::Unknown;
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return FileType::Unknown;
    }
    return e->node->kind == Node::Kind::Device ? FileType::Char : FileType::Disk;
}

SysResult<AttributeTag> MemorySystem::attribute_tag(FileRef handle) {
    if (auto failure = enter(Op::AttributeTag)) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return sys_fail(WinCode::InvalidHandle);
    }
    if (!reads_attributes(e->access)) {
        return sys_fail(WinCode::AccessDenied);
    }
    return AttributeTag{e->node->attributes, e->node->reparse_tag};
}

SysResult<void> MemorySystem::lock_whole_file(FileRef handle) {
    if (auto failure = enter(Op::LockFile)) {
        return sys_fail(*failure);
    }
    const WinCode code = impl_->lock_range(handle.value(), 0, ~std::uint64_t{0});
    return code == WinCode::Success ? SysResult<void>{} : sys_fail(code);
}

WinCode MemorySystem::Impl::lock_range(std::uintptr_t handle, std::uint64_t offset,
                                       std::uint64_t length) {
    auto* e = entry(handle, Entry::Type::File);
    if (e == nullptr) {
        return WinCode::InvalidHandle;
    }
    // As [MS-FSA] 2.1.4.10 has it: a range ends at Offset + Length - 1, so a zero-length range at
    // X >= 1 meets a lock that covers X - 1; only the range of length 0 at 0 meets nothing.
    using Wide = unsigned __int128;
    const auto overlap = [](std::uint64_t a, std::uint64_t n, std::uint64_t b, std::uint64_t m) {
        if ((a == 0 && n == 0) || (b == 0 && m == 0)) {
            return false;
        }
        return Wide{a} <= Wide{b} + m - 1 && Wide{b} <= Wide{a} + n - 1;
    };
    auto& held = locks[e->node.get()];
    for (const auto& lock : held) {
        if (overlap(offset, length, lock.offset, lock.length)) {
            return WinCode::LockViolation;
        }
    }
    held.push_back({handle, offset, length});
    return WinCode::Success;
}

SysResult<std::uint32_t> MemorySystem::read_file(FileRef handle, std::span<char> buffer) {
    if (auto failure = enter(Op::ReadFile)) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return sys_fail(WinCode::InvalidHandle);
    }
    if (!e->access.intersects(Access::ReadData | Access::GenericRead)) {
        return sys_fail(WinCode::AccessDenied);
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
        return sys_fail(r.error != WinCode::Success ? r.error : WinCode::FileNotFound);
    }
    if (r.node->delete_on_close) {
        return sys_fail(WinCode::AccessDenied);
    }
    if (r.node->kind != Node::Kind::Directory) {
        return sys_fail(WinCode::Directory);
    }
    if (!impl_->allows(*r.node, Access::Delete, token_of(caller))) {
        return sys_fail(WinCode::AccessDenied);
    }
    if (!r.node->children.empty()) {
        return sys_fail(WinCode::DirNotEmpty);
    }
    if (impl_->sharing_conflict(r.node.get(), Access::Delete, ShareMode::All)) {
        return sys_fail(WinCode::SharingViolation);
    }
    if (impl_->mapped_as_image(r.node.get(), slept_)) {
        return sys_fail(WinCode::AccessDenied);
    }
    // As Windows 10 1903 and later do: RemoveDirectoryW deletes with POSIX semantics through a
    // handle of its own, closed before it returns, so the name goes at once; where the file
    // system refuses them, with the classic disposition, and with other handles open the
    // directory then stays, delete-pending, until the last of them closes.
    if (!disposition_ex_supported && impl_->has_open_handles(r.node.get())) {
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
        return sys_fail(r.error != WinCode::Success ? r.error : WinCode::FileNotFound);
    }
    if (r.node->kind == Node::Kind::Directory || r.node->delete_on_close ||
        r.node->attributes.intersects(FileAttributes::ReadOnly) ||
        !impl_->allows(*r.node, Access::Delete, token_of(caller))) {
        return sys_fail(WinCode::AccessDenied);
    }
    if (impl_->sharing_conflict(r.node.get(), Access::Delete, ShareMode::All)) {
        return sys_fail(WinCode::SharingViolation);
    }
    if (impl_->mapped_as_image(r.node.get(), slept_)) {
        return sys_fail(WinCode::AccessDenied); // STATUS_CANNOT_DELETE
    }
    // As RemoveDirectoryW above.
    if (!disposition_ex_supported && impl_->has_open_handles(r.node.get())) {
        r.node->delete_on_close = true;
    } else {
        impl_->delete_node(r.node);
    }
    return {};
}

SysResult<void> MemorySystem::set_disposition_ex(FileRef handle, DispositionFlags flags) {
    if (auto failure = enter(Op::SetDispositionEx)) {
        return sys_fail(*failure);
    }
    if (!disposition_ex_supported) {
        return sys_fail(WinCode::InvalidParameter);
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return sys_fail(WinCode::InvalidHandle);
    }
    if (!e->access.intersects(Access::Delete)) {
        return sys_fail(WinCode::AccessDenied);
    }
    Node& node = *e->node;
    if (node.attributes.intersects(FileAttributes::ReadOnly) &&
        !flags.intersects(DispositionFlags::IgnoreReadonly)) {
        return sys_fail(WinCode::AccessDenied);
    }
    if (node.kind == Node::Kind::Directory && !node.children.empty()) {
        return sys_fail(WinCode::DirNotEmpty);
    }
    if (impl_->mapped_as_image(&node, slept_)) {
        return sys_fail(WinCode::AccessDenied); // STATUS_CANNOT_DELETE, whatever the flags
    }
    if (!flags.intersects(DispositionFlags::Delete)) {
        node.delete_on_close = false;
        e->posix_delete = false;
        return {};
    }
    // Delete-pending from now; with POSIX semantics the name goes when this handle is closed,
    // even while others stay open, and classically when the last one is.
    node.delete_on_close = true;
    e->posix_delete = flags.intersects(DispositionFlags::PosixSemantics);
    return {};
}

SysResult<void> MemorySystem::set_disposition(FileRef handle, bool delete_file) {
    if (auto failure = enter(Op::SetDisposition)) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return sys_fail(WinCode::InvalidHandle);
    }
    if (!e->access.intersects(Access::Delete) ||
        e->node->attributes.intersects(FileAttributes::ReadOnly)) {
        return sys_fail(WinCode::AccessDenied);
    }
    if (e->node->kind == Node::Kind::Directory && !e->node->children.empty()) {
        return sys_fail(WinCode::DirNotEmpty);
    }
    if (impl_->mapped_as_image(e->node.get(), slept_)) {
        return sys_fail(WinCode::AccessDenied);
    }
    e->node->delete_on_close = delete_file;
    return {};
}

SysResult<void> MemorySystem::set_attributes(FileRef handle, FileAttributes attributes) {
    if (auto failure = enter(Op::SetAttributes)) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return sys_fail(WinCode::InvalidHandle);
    }
    if (!e->access.intersects(Access::WriteAttributes)) {
        return sys_fail(WinCode::AccessDenied);
    }
    constexpr FileAttributes settable = FileAttributes::ReadOnly | FileAttributes::Archive;
    e->node->attributes = e->node->attributes.without(settable) | (attributes & settable);
    return {};
}

SysResult<UniqueHandle> MemorySystem::open_relative(FileRef directory, const std::u16string& name,
                                                    Access access, OpenKind kind) {
    const std::string text = wtf8_from_utf16(name);
    if (auto failure = enter(Op::OpenRelative, text)) {
        return sys_fail(*failure);
    }
    auto* parent = impl_->entry(directory, Impl::Entry::Type::File);
    if (parent == nullptr) {
        return sys_fail(WinCode::InvalidHandle);
    }
    std::shared_ptr<Node> node = parent->node; // an empty name: the handle's own object again
    if (!text.empty()) {
        if (parent->node->kind != Node::Kind::Directory) {
            return sys_fail(WinCode::InvalidHandle);
        }
        auto it = parent->node->children.find(upper(text));
        if (it == parent->node->children.end()) {
            return sys_fail(WinCode::FileNotFound);
        }
        node = it->second; // the object itself, never a link's target
    }
    if (node->delete_on_close) {
        return sys_fail(WinCode::AccessDenied);
    }
    if (kind == OpenKind::NonDirectory && node->kind == Node::Kind::Directory) {
        return sys_fail(WinCode::AccessDenied); // STATUS_FILE_IS_A_DIRECTORY
    }
    if (!impl_->allows(*node, access | SYNCHRONIZE, token_of(caller))) { // as the adapter asks
        return sys_fail(WinCode::AccessDenied);
    }
    if (impl_->sharing_conflict(node.get(), access, ShareMode::All)) {
        return sys_fail(WinCode::SharingViolation);
    }
    Impl::Entry e;
    e.node = node;
    e.access = access;
    e.share = ShareMode::All;
    return UniqueHandle(*this, impl_->add_handle(std::move(e)));
}

SysResult<std::vector<FindData>> MemorySystem::list_directory(FileRef directory) {
    auto* e = impl_->entry(directory, Impl::Entry::Type::File);
    if (auto failure = enter(Op::ListDirectory, e != nullptr ? e->node->name : std::string())) {
        return sys_fail(*failure);
    }
    e = impl_->entry(directory, Impl::Entry::Type::File); // the hook may have changed the world
    if (e == nullptr || e->node->kind != Node::Kind::Directory) {
        return sys_fail(WinCode::InvalidHandle);
    }
    if (!e->access.intersects(Access::ListDirectory | Access::GenericRead)) {
        return sys_fail(WinCode::AccessDenied);
    }
    using Listing = Impl::Entry::Listing;
    if (e->listing == Listing::Done) {
        return sys_fail(WinCode::NoMoreFiles);
    }
    const std::size_t limit = std::max<std::size_t>(listing_batch, 1);
    std::vector<FindData> batch;
    if (e->listing == Listing::NotStarted) {
        batch.push_back(FindData{FileAttributes::Directory, ReparseTag{}, u"."});
        batch.push_back(FindData{FileAttributes::Directory, ReparseTag{}, u".."});
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
        return sys_fail(WinCode::NoMoreFiles);
    }
    return batch;
}

} // namespace orvex
