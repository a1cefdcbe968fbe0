#pragma once
// What the model's parts share: the object tree, the handle table, the locks and the services,
// and the helpers that turn the seam's arguments into the model's terms. Not for tests.

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "model/memory_system.hpp"

namespace orvex::model {

using Node = MemorySystem::Node;

constexpr std::uintptr_t NTDLL_MODULE = 0x7FF00000;
constexpr Access SYNCHRONIZE{0x100000}; // which every open of a file asks for besides its access

inline std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

inline std::vector<std::string> split_path(std::string_view path) {
    std::vector<std::string> parts;
    std::string current;
    for (const char c : path) {
        if (c == '\\' || c == '/') {
            if (!current.empty()) {
                parts.push_back(std::move(current));
            }
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        parts.push_back(std::move(current));
    }
    return parts;
}

inline std::string from_system(const std::u16string& text) {
    std::u16string_view view(text);
    if (!view.empty() && view.back() == u'\0') {
        view.remove_suffix(1);
    }
    return wtf8_from_utf16(view);
}

// SIDs in their binary form (security.cpp).
struct SidBlob {
    std::array<std::uint8_t, 68> bytes{};
};
std::optional<SidBlob> sid_from_string(std::string_view text);
std::size_t sid_length(const void* sid);
std::string sid_to_string(const void* sid);

// Objects handed out through the security allocator.
struct AclObject {
    std::string text;
};
struct DescriptorObject {
    std::string owner; // "" when the string named none
    bool has_dacl = false;
    AclObject acl;
};
struct OwnerObject {
    SidBlob owner;
};

// The SID that an SDDL alias ("SY", "BA", "WD", ...) stands for; any other text as it is.
std::string sid_of_alias(std::string_view alias);

// DACL entries (access.cpp).
struct Ace {
    bool allow = true;
    bool object_inherit = false;
    bool container_inherit = false;
    bool no_propagate = false;
    bool inherit_only = false;
    std::uint32_t mask = 0;
    std::string sid;
};
std::vector<Ace> parse_aces(std::string_view text);
std::string format_aces(const std::vector<Ace>& aces);
// What a new file or directory inherits from its parent's entries.
std::vector<Ace> inherited_from(const std::vector<Ace>& parent, bool directory);
// The rights an open asks for, generic rights mapped as for files.
std::uint32_t requested_rights(Access access);
std::vector<std::string> token_of(Caller caller);
bool may_own(Caller caller, std::string_view sid);

int failures_so_far();
void check_rules_fired(const std::vector<MemorySystem::FailureRule>& rules);
void check_on_destruction(const MemorySystem& system,
                          const std::vector<MemorySystem::FailureRule>& rules,
                          int failures_at_start);

} // namespace orvex::model

namespace orvex {

using namespace model;

struct MemorySystem::Impl {
    std::shared_ptr<Node> root = std::make_shared<Node>();
    std::uint64_t next_index = 1;
    std::uintptr_t next_handle = 0x100;

    struct Lock {
        std::uintptr_t handle;
        std::uint64_t offset;
        std::uint64_t length;
    };
    struct Entry {
        enum class Type { File, Manager, Service } type = Type::File;
        std::shared_ptr<Node> node;
        Access access;
        ShareMode share;
        ServiceAccess service_access;
        bool external = false;
        std::size_t position = 0;
        bool posix_delete = false; // its disposition was set with POSIX semantics
        // Where a listing through this handle stands. Like NTFS, it resumes after the last name
        // returned, so entries added or removed meanwhile show or vanish by where they sort.
        enum class Listing { NotStarted, Started, Done } listing = Listing::NotStarted;
        std::string listed_up_to; // the key of the last entry returned
        std::string service;
    };
    std::map<std::uintptr_t, Entry> handles;
    std::map<Node*, std::vector<Lock>> locks;
    std::map<std::string, MemorySystem::Service> services; // keyed by upper-cased name

    struct Resolved {
        std::shared_ptr<Node> parent;
        std::shared_ptr<Node> node;
        std::string leaf;
        WinCode error;
    };

    Resolved resolve(std::string_view path, bool follow_final, int depth = 0) {
        Resolved r;
        if (depth > 16) {
            r.error = WinCode::CantResolveFilename;
            return r;
        }
        const auto parts = split_path(path);
        if (parts.empty() || upper(parts[0]) != "C:") {
            r.error = WinCode::PathNotFound;
            return r;
        }
        std::shared_ptr<Node> current = root;
        if (parts.size() == 1) {
            r.node = root;
            return r;
        }
        for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
            auto it = current->children.find(upper(parts[i]));
            if (it == current->children.end()) {
                r.error = WinCode::PathNotFound;
                return r;
            }
            std::shared_ptr<Node> next = it->second;
            if (next->is_link()) {
                Resolved target = resolve(next->link_target, true, depth + 1);
                if (!target.node) {
                    r.error = WinCode::PathNotFound;
                    return r;
                }
                next = target.node;
            }
            if (next->kind != Node::Kind::Directory) {
                r.error = WinCode::PathNotFound;
                return r;
            }
            current = next;
        }
        r.parent = current;
        r.leaf = parts.back();
        auto it = current->children.find(upper(r.leaf));
        if (it != current->children.end()) {
            r.node = it->second;
            if (follow_final && r.node->is_link()) {
                Resolved target = resolve(r.node->link_target, true, depth + 1);
                r.node = target.node;
                if (!r.node) {
                    r.error = WinCode::FileNotFound;
                }
            }
        }
        return r;
    }

    std::shared_ptr<Node> attach(const std::shared_ptr<Node>& parent, std::string_view name,
                                 Node::Kind kind) {
        auto node = std::make_shared<Node>();
        node->kind = kind;
        node->name = std::string(name);
        node->parent = parent;
        node->index = next_index++;
        node->attributes =
            kind == Node::Kind::Directory ? FileAttributes::Directory : FileAttributes::Archive;
        inherit(*node, *parent);
        parent->children[upper(name)] = node;
        return node;
    }

    // Access control (access.cpp).
    std::vector<Ace> effective(const Node& node) const; // explicit, then inherited entries
    void inherit(Node& node, const Node& parent) const;
    // Applies a changed DACL to the existing descendants of `node` that are not protected.
    void propagate(Node& node, bool through_links, int depth = 0);
    std::uint32_t granted(const Node& node, std::uint32_t wanted,
                          const std::vector<std::string>& token) const;
    bool allows(const Node& node, Access access, const std::vector<std::string>& token) const;

    // The directory named by the first `count` path parts, creating the missing ones with `owner`.
    std::shared_ptr<Node> make_directories(const std::vector<std::string>& parts, std::size_t count,
                                           std::string_view owner) {
        std::shared_ptr<Node> current = root;
        for (std::size_t i = 1; i < count; ++i) {
            auto it = current->children.find(upper(parts[i]));
            if (it == current->children.end()) {
                current = attach(current, parts[i], Node::Kind::Directory);
                current->owner = std::string(owner);
            } else {
                current = it->second;
            }
        }
        return current;
    }

    void detach(const std::shared_ptr<Node>& node) {
        if (auto parent = node->parent.lock()) {
            auto it = parent->children.find(upper(node->name));
            if (it != parent->children.end() && it->second == node) {
                parent->children.erase(it);
            }
        }
        node->parent.reset();
    }

    std::string path_of(const Node& node) const {
        const auto parent = node.parent.lock();
        return parent ? path_of(*parent) + "\\" + node.name : node.name;
    }

    // This process deletes `node`: it leaves the namespace and the deletion is recorded.
    void delete_node(const std::shared_ptr<Node>& node) {
        deleted.push_back(path_of(*node));
        detach(node);
    }
    std::vector<std::string> deleted;

    std::uintptr_t add_handle(Entry entry) {
        const std::uintptr_t id = next_handle;
        next_handle += 4;
        handles.emplace(id, std::move(entry));
        return id;
    }

    Entry* entry(std::uintptr_t id, Entry::Type type) {
        auto it = handles.find(id);
        if (it == handles.end() || it->second.type != type) {
            return nullptr;
        }
        return &it->second;
    }
    template <ResourceKind Kind> Entry* entry(Ref<Kind> ref, Entry::Type type) {
        return entry(ref.value(), type);
    }

    // The sharing an open with `access` needs from the handles already open on the object: reading
    // counts reading data and executing (traversing, for a directory), writing counts appending.
    static ShareMode sharing_needed(Access access) {
        ShareMode needed;
        if (access.intersects(Access::GenericRead | Access::ReadData | Access::Execute)) {
            needed = needed | ShareMode::Read;
        }
        if (access.intersects(Access::GenericWrite | Access::WriteData | Access::AppendData)) {
            needed = needed | ShareMode::Write;
        }
        if (access.intersects(Access::Delete)) {
            needed = needed | ShareMode::Delete;
        }
        return needed;
    }

    // Whether a new open with `access` and `share` conflicts with the handles open on `node`.
    // Sharing is about reading (or executing), writing (or appending) and deleting: an open that
    // asks for none of them (for attributes, say) is never refused, and one that holds none of
    // them refuses nobody.
    bool sharing_conflict(const Node* node, Access access, ShareMode share) {
        const ShareMode wanted = sharing_needed(access);
        if (wanted == ShareMode{}) {
            return false;
        }
        for (const auto& [id, e] : handles) {
            if (e.type != Entry::Type::File || e.node.get() != node) {
                continue;
            }
            const ShareMode held = sharing_needed(e.access);
            if (held == ShareMode{}) {
                continue;
            }
            if (!e.share.contains(wanted) || !share.contains(held)) {
                return true;
            }
        }
        return false;
    }

    // A LockFile of `length` bytes at `offset` through `handle`, as [MS-FSA] places ranges.
    WinCode lock_range(std::uintptr_t handle, std::uint64_t offset, std::uint64_t length);

    bool open_below(const Node& directory) {
        return std::ranges::any_of(directory.children, [&](const auto& child) {
            return has_open_handles(child.second.get()) || open_below(*child.second);
        });
    }

    bool has_open_handles(const Node* node) {
        return std::ranges::any_of(handles, [&](const auto& item) {
            return item.second.type == Entry::Type::File && item.second.node.get() == node;
        });
    }

    void release_file_handle(std::uintptr_t id) {
        auto it = handles.find(id);
        if (it == handles.end()) {
            return;
        }
        std::shared_ptr<Node> node = it->second.node;
        const bool posix_delete = it->second.posix_delete;
        handles.erase(it);
        if (auto lk = locks.find(node.get()); lk != locks.end()) {
            std::erase_if(lk->second, [&](const Lock& l) { return l.handle == id; });
        }
        if (node && node->delete_on_close && (posix_delete || !has_open_handles(node.get()))) {
            delete_node(node);
        }
    }

    // Executables whose process outlives its service's record, until a time on the clock.
    struct OutlivingImage {
        std::string path;
        std::chrono::milliseconds until;
    };
    std::vector<OutlivingImage> outliving_images;

    void remove_service_handle(const std::string& key, std::chrono::milliseconds now) {
        auto it = services.find(key);
        if (it == services.end()) {
            return;
        }
        MemorySystem::Service& s = it->second;
        --s.handles;
        if (s.marked_for_delete && s.handles <= 0 && s.external_handles <= 0) {
            if (!s.image.empty() && s.process_outlives_record.count() > 0) {
                outliving_images.push_back({s.image, now + s.process_outlives_record});
            }
            services.erase(it);
        }
    }

    // Whether a running process maps `node` as its executable, which no deletion gets past.
    bool mapped_as_image(const Node* node, std::chrono::milliseconds now) {
        const auto names = [&](const std::string& path) {
            return node != nullptr && resolve(path, false).node.get() == node;
        };
        for (const auto& [key, s] : services) {
            if (!s.image.empty() && s.state != 1 && names(s.image)) {
                return true;
            }
        }
        return std::ranges::any_of(outliving_images, [&](const OutlivingImage& image) {
            return now < image.until && names(image.path);
        });
    }
};

template <class T> std::uintptr_t MemorySystem::allocate(std::shared_ptr<T> object) {
    const auto address = reinterpret_cast<std::uintptr_t>(object.get());
    allocations_.emplace(address, std::move(object));
    return address;
}

} // namespace orvex
