#include "platform/memory/memory_system.hpp"

#include <algorithm>
#include <cstring>
#include <functional>

#include "common/text.hpp"
#include "platform/win32_constants.hpp"

namespace orvex {
namespace {

using Node = MemorySystem::Node;

constexpr std::uint32_t ERROR_DIRECTORY = 267;
constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
constexpr std::uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr std::uintptr_t NTDLL_MODULE = 0x7FF00000;
constexpr std::uint32_t FILE_READ_DATA = 0x1;
constexpr std::uint32_t FILE_WRITE_DATA = 0x2;

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

std::vector<std::string> split_path(std::string_view path) {
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

std::string from_system(const std::u16string& text) {
    std::u16string_view view(text);
    if (!view.empty() && view.back() == u'\0') {
        view.remove_suffix(1);
    }
    return wtf8_from_utf16(view);
}

// ---- SIDs in their binary form ----
struct SidBlob {
    std::array<std::uint8_t, 68> bytes{};
};

std::optional<SidBlob> sid_from_string(std::string_view text) {
    if (text.size() < 4 || text.substr(0, 2) != "S-") {
        return std::nullopt;
    }
    std::vector<std::uint64_t> parts;
    std::uint64_t value = 0;
    bool digits = false;
    for (std::size_t i = 2; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '-') {
            if (!digits) {
                return std::nullopt;
            }
            parts.push_back(value);
            value = 0;
            digits = false;
        } else if (text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
            if (value > 0xFFFFFFFFFFFFull) {
                return std::nullopt;
            }
            digits = true;
        } else {
            return std::nullopt;
        }
    }
    if (parts.size() < 3 || parts.size() > 17 || parts[0] != 1) {
        return std::nullopt;
    }
    SidBlob blob;
    blob.bytes[0] = 1;
    blob.bytes[1] = static_cast<std::uint8_t>(parts.size() - 2);
    for (int i = 0; i < 6; ++i) {
        blob.bytes[2 + i] = static_cast<std::uint8_t>(parts[1] >> (8 * (5 - i)));
    }
    for (std::size_t k = 2; k < parts.size(); ++k) {
        if (parts[k] > 0xFFFFFFFFull) {
            return std::nullopt;
        }
        for (int b = 0; b < 4; ++b) {
            blob.bytes[8 + 4 * (k - 2) + b] = static_cast<std::uint8_t>(parts[k] >> (8 * b));
        }
    }
    return blob;
}

std::size_t sid_length(const void* sid) {
    return 8 + 4 * std::size_t{static_cast<const std::uint8_t*>(sid)[1]};
}

std::string sid_to_string(const void* sid) {
    const auto* b = static_cast<const std::uint8_t*>(sid);
    std::uint64_t authority = 0;
    for (int i = 0; i < 6; ++i) {
        authority = (authority << 8) | b[2 + i];
    }
    std::string out = "S-" + std::to_string(b[0]) + "-" + std::to_string(authority);
    for (std::size_t k = 0; k < b[1]; ++k) {
        std::uint32_t sub = 0;
        for (int i = 3; i >= 0; --i) {
            sub = (sub << 8) | b[8 + 4 * k + static_cast<std::size_t>(i)];
        }
        out += "-" + std::to_string(sub);
    }
    return out;
}

std::string sddl_alias(std::string_view alias) {
    if (alias == "SY") {
        return std::string(SID_LOCAL_SYSTEM);
    }
    if (alias == "BA") {
        return std::string(SID_BUILTIN_ADMINISTRATORS);
    }
    return std::string(alias);
}

// ---- Objects handed out through the security allocator ----
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

void put32(std::byte* at, std::uint32_t value) {
    std::memcpy(at, &value, 4);
}

} // namespace

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
        std::uint32_t access = 0;
        std::uint32_t share = 0;
        bool external = false;
        std::size_t position = 0;
        std::size_t next = 0;
        std::string service;
    };
    std::map<std::uintptr_t, Entry> handles;
    std::map<Node*, std::vector<Lock>> locks;
    std::map<std::string, MemorySystem::Service> services; // keyed by upper-cased name

    struct Resolved {
        std::shared_ptr<Node> parent;
        std::shared_ptr<Node> node;
        std::string leaf;
        WinCode error = 0;
    };

    Resolved resolve(std::string_view path, bool follow_final, int depth = 0) {
        Resolved r;
        if (depth > 16) {
            r.error = 1921; // ERROR_CANT_RESOLVE_FILENAME
            return r;
        }
        const auto parts = split_path(path);
        if (parts.empty() || upper(parts[0]) != "C:") {
            r.error = win::ERROR_PATH_NOT_FOUND;
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
                r.error = win::ERROR_PATH_NOT_FOUND;
                return r;
            }
            std::shared_ptr<Node> next = it->second;
            if (next->is_link()) {
                Resolved target = resolve(next->link_target, true, depth + 1);
                if (!target.node) {
                    r.error = win::ERROR_PATH_NOT_FOUND;
                    return r;
                }
                next = target.node;
            }
            if (next->kind != Node::Kind::Directory) {
                r.error = win::ERROR_PATH_NOT_FOUND;
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
                    r.error = win::ERROR_FILE_NOT_FOUND;
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
            kind == Node::Kind::Directory ? win::FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        parent->children[upper(name)] = node;
        return node;
    }

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

    static bool data_access(std::uint32_t access, std::uint32_t read, std::uint32_t write,
                            std::uint32_t del, std::uint32_t& out) {
        out = 0;
        if ((access & (win::GENERIC_READ | FILE_READ_DATA)) != 0) {
            out |= read;
        }
        if ((access & (win::GENERIC_WRITE | FILE_WRITE_DATA)) != 0) {
            out |= write;
        }
        if ((access & win::DELETE) != 0) {
            out |= del;
        }
        return out != 0;
    }

    // Whether a new open with `access` and `share` conflicts with the handles open on `node`.
    bool sharing_conflict(const Node* node, std::uint32_t access, std::uint32_t share) {
        std::uint32_t wanted = 0;
        data_access(access, win::FILE_SHARE_READ, win::FILE_SHARE_WRITE, win::FILE_SHARE_DELETE,
                    wanted);
        for (const auto& [id, e] : handles) {
            if (e.type != Entry::Type::File || e.node.get() != node) {
                continue;
            }
            std::uint32_t held = 0;
            data_access(e.access, win::FILE_SHARE_READ, win::FILE_SHARE_WRITE,
                        win::FILE_SHARE_DELETE, held);
            if ((wanted & ~e.share) != 0 || (held & ~share) != 0) {
                return true;
            }
        }
        return false;
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
        handles.erase(it);
        if (auto lk = locks.find(node.get()); lk != locks.end()) {
            std::erase_if(lk->second, [&](const Lock& l) { return l.handle == id; });
        }
        if (node && node->delete_on_close && !has_open_handles(node.get())) {
            detach(node);
        }
    }

    static void remove_service_handle(MemorySystem::Service& s,
                                      std::map<std::string, MemorySystem::Service>& all,
                                      const std::string& key) {
        --s.handles;
        if (s.marked_for_delete && s.handles <= 0 && s.external_handles <= 0) {
            all.erase(key);
        }
    }
};

MemorySystem::MemorySystem() : impl_(std::make_unique<Impl>()) {
    impl_->root->name = "C:";
    impl_->root->owner = std::string(SID_LOCAL_SYSTEM);
    impl_->root->attributes = win::FILE_ATTRIBUTE_DIRECTORY;
    add_directory("C:\\ProgramData");
    system_messages = {
        {2, u"File not found.\r\n"},
        {3, u"Path not found.\r\n"},
        {5, u"Access denied.\r\n"},
        {6, u"Invalid handle.\r\n"},
        {32, u"Sharing violation.\r\n"},
        {33, u"Lock violation.\r\n"},
        {87, u"Invalid parameter.\r\n"},
        {122, u"Insufficient buffer.\r\n"},
        {145, u"Directory is not empty.\r\n"},
        {183, u"File already exists.\r\n"},
        {1052, u"Requested control is not valid for this service.\r\n"},
        {1060, u"Service does not exist.\r\n"},
        {1062, u"Service not active.\r\n"},
        {1072, u"Service marked for delete.\r\n"},
        {1332, u"No security ID mapped.\r\n"},
        {1337, u"Invalid SID.\r\n"},
    };
}

MemorySystem::~MemorySystem() = default;

std::optional<WinCode> MemorySystem::enter(std::string_view operation, std::string_view argument) {
    std::string line(operation);
    if (!argument.empty()) {
        line += ' ';
        line += argument;
    }
    calls_.push_back(line);
    if (on_call) {
        on_call(line);
    }
    for (auto& rule : rules_) {
        if (rule.operation != operation) {
            continue;
        }
        if (!rule.argument.empty() && argument.find(rule.argument) == std::string_view::npos) {
            continue;
        }
        ++rule.seen;
        if (rule.nth == 0 || rule.nth == rule.seen) {
            return rule.code;
        }
    }
    return std::nullopt;
}

void MemorySystem::fail_call(std::string operation, int nth, WinCode code, std::string argument) {
    rules_.push_back(FailureRule{std::move(operation), nth, code, std::move(argument), 0});
}

std::size_t MemorySystem::count_calls(std::string_view operation) const {
    return static_cast<std::size_t>(std::ranges::count_if(calls_, [&](const std::string& line) {
        return line == operation || (line.size() > operation.size() &&
                                     line.starts_with(operation) && line[operation.size()] == ' ');
    }));
}

std::size_t MemorySystem::open_handles() const {
    return static_cast<std::size_t>(std::ranges::count_if(
        impl_->handles, [](const auto& item) { return !item.second.external; }));
}

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

MemorySystem::Service& MemorySystem::add_service(std::string_view name) {
    return impl_->services[upper(name)];
}

MemorySystem::Service* MemorySystem::service(std::string_view name) {
    auto it = impl_->services.find(upper(name));
    return it == impl_->services.end() ? nullptr : &it->second;
}

std::string MemorySystem::dump() const {
    std::string out;
    std::function<void(const Node&, int)> walk = [&](const Node& node, int depth) {
        out += std::string(static_cast<std::size_t>(depth) * 2, ' ') + node.name;
        out += node.kind == Node::Kind::Directory ? "\\" : "";
        if (node.is_link()) {
            out += " -> " + node.link_target;
        }
        out += " owner=" + node.owner + " dacl=" + node.dacl + "\n";
        for (const auto& [key, child] : node.children) {
            walk(*child, depth + 1);
        }
    };
    walk(*impl_->root, 0);
    return out;
}

// ---- Console and messages ----

bool MemorySystem::is_console(StdStream stream) {
    return stream == StdStream::Error ? stderr_console : stdout_console;
}

std::uint32_t MemorySystem::console_output_code_page() {
    return code_page;
}

bool MemorySystem::write_console(StdStream stream, std::u16string_view text) {
    if (enter("write_console", stream == StdStream::Error ? "stderr" : "stdout") ||
        streams_broken) {
        return false;
    }
    (stream == StdStream::Error ? console_err : console_out) += text;
    return true;
}

bool MemorySystem::write_file(StdStream stream, std::string_view bytes) {
    if (enter("write_file", stream == StdStream::Error ? "stderr" : "stdout") || streams_broken) {
        return false;
    }
    (stream == StdStream::Error ? err : out) += bytes;
    return true;
}

void MemorySystem::sleep(std::chrono::milliseconds duration) {
    enter("sleep", std::to_string(duration.count()));
    slept_ += duration;
    ++sleeps_;
}

std::uintptr_t MemorySystem::loaded_module(const std::u16string& name) {
    return (ntdll_loaded && from_system(name) == "NTDLL.DLL") ? NTDLL_MODULE : 0;
}

SysResult<std::u16string> MemorySystem::format_message(std::uint32_t flags, std::uintptr_t module,
                                                       std::uint32_t code) {
    if ((flags & win::FORMAT_MESSAGE_FROM_HMODULE) != 0 && module == NTDLL_MODULE) {
        if (auto it = ntdll_messages.find(code); it != ntdll_messages.end()) {
            return it->second;
        }
    }
    if (auto it = system_messages.find(code); it != system_messages.end()) {
        return it->second;
    }
    return sys_fail(win::ERROR_MR_MID_NOT_FOUND);
}

std::optional<std::u16string> MemorySystem::program_data_folder() {
    return program_data;
}

// ---- Security ----

SysResult<UniqueLocal> MemorySystem::convert_sddl(const std::u16string& sddl) {
    if (auto failure = enter("convert_sddl")) {
        return sys_fail(*failure);
    }
    const std::string text = from_system(sddl);
    auto descriptor = std::make_shared<DescriptorObject>();
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (text.compare(pos, 2, "O:") == 0) {
            const std::size_t end = text.find("D:", pos + 2);
            descriptor->owner = sddl_alias(text.substr(pos + 2, end - pos - 2));
            pos = end == std::string::npos ? text.size() : end;
        } else if (text.compare(pos, 2, "D:") == 0) {
            descriptor->has_dacl = true;
            descriptor->acl.text = text.substr(pos + 2);
            pos = text.size();
        } else {
            return sys_fail(1336); // ERROR_INVALID_ACL
        }
    }
    return UniqueLocal(*this, allocate(std::move(descriptor)));
}

SysResult<DaclQuery> MemorySystem::security_descriptor_dacl(const void* descriptor) {
    if (auto failure = enter("security_descriptor_dacl")) {
        return sys_fail(*failure);
    }
    auto* d = static_cast<const DescriptorObject*>(descriptor);
    return DaclQuery{d->has_dacl, d->has_dacl ? &d->acl : nullptr};
}

SysResult<void> MemorySystem::create_well_known_sid(std::uint32_t kind, void* buffer,
                                                    std::uint32_t size) {
    if (auto failure = enter("create_well_known_sid", std::to_string(kind))) {
        return sys_fail(*failure);
    }
    std::optional<SidBlob> blob;
    if (kind == win::WIN_LOCAL_SYSTEM_SID) {
        blob = sid_from_string(SID_LOCAL_SYSTEM);
    } else if (kind == win::WIN_BUILTIN_ADMINISTRATORS_SID) {
        blob = sid_from_string(SID_BUILTIN_ADMINISTRATORS);
    }
    if (!blob) {
        return sys_fail(win::ERROR_INVALID_PARAMETER);
    }
    if (size < sid_length(blob->bytes.data())) {
        return sys_fail(win::ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, blob->bytes.data(), sid_length(blob->bytes.data()));
    return {};
}

bool MemorySystem::equal_sid(const void* a, const void* b) {
    enter("equal_sid");
    const std::size_t length = sid_length(a);
    return length == sid_length(b) && std::memcmp(a, b, length) == 0;
}

OwnerQuery MemorySystem::get_owner(std::uintptr_t handle) {
    OwnerQuery query;
    if (auto failure = enter("get_owner")) {
        query.code = *failure;
        return query;
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr || !e->node) {
        query.code = ERROR_INVALID_HANDLE;
        return query;
    }
    auto blob = sid_from_string(e->node->owner);
    auto object = std::make_shared<OwnerObject>(OwnerObject{blob.value_or(SidBlob{})});
    query.owner = object->owner.bytes.data();
    query.descriptor = UniqueLocal(*this, allocate(std::move(object)));
    return query;
}

WinCode MemorySystem::set_security_info(std::uintptr_t handle, std::uint32_t information,
                                        const void* owner, const void* dacl) {
    const bool owner_change = (information & win::OWNER_SECURITY_INFORMATION) != 0;
    if (auto failure = enter("set_security_info", owner_change ? "owner" : "dacl")) {
        return *failure;
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr || !e->node) {
        return ERROR_INVALID_HANDLE;
    }
    if (owner_change) {
        e->node->owner = sid_to_string(owner);
    }
    if ((information & win::DACL_SECURITY_INFORMATION) != 0) {
        e->node->dacl = static_cast<const AclObject*>(dacl)->text;
        e->node->dacl_protected = (information & win::PROTECTED_DACL_SECURITY_INFORMATION) != 0;
    }
    return 0;
}

SysResult<UniqueLocal> MemorySystem::convert_string_sid(const std::u16string& sid) {
    const std::string text = from_system(sid);
    if (auto failure = enter("convert_string_sid", text)) {
        return sys_fail(*failure);
    }
    auto blob = sid_from_string(text);
    if (!blob) {
        return sys_fail(win::ERROR_INVALID_SID);
    }
    return UniqueLocal(*this, allocate(std::make_shared<OwnerObject>(OwnerObject{*blob})));
}

WinCode MemorySystem::lookup_account_sid_probe(const void* sid) {
    const std::string text = sid_to_string(sid);
    if (auto failure = enter("lookup_account_sid", text)) {
        return *failure;
    }
    return accounts_.contains(text) ? win::ERROR_INSUFFICIENT_BUFFER : win::ERROR_NONE_MAPPED;
}

// ---- Files ----

SysResult<void> MemorySystem::create_directory(const std::u16string& path, const void* descriptor) {
    const std::string text = from_system(path);
    if (auto failure = enter("create_directory", text)) {
        return sys_fail(*failure);
    }
    auto r = impl_->resolve(text, false);
    if (r.error != 0 && !r.node) {
        return sys_fail(r.error);
    }
    if (r.node) {
        return sys_fail(win::ERROR_ALREADY_EXISTS);
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
    if (auto failure = enter("create_file", text)) {
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
    if (auto failure = enter("file_information")) {
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
    if (enter("file_type")) {
        return 0; // FILE_TYPE_UNKNOWN
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr) {
        return 0;
    }
    return e->node->kind == Node::Kind::Device ? win::FILE_TYPE_CHAR : win::FILE_TYPE_DISK;
}

SysResult<AttributeTag> MemorySystem::attribute_tag(std::uintptr_t handle) {
    if (auto failure = enter("attribute_tag")) {
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
    if (auto failure = enter("lock_file")) {
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
    if (auto failure = enter("read_file")) {
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
    if (auto failure = enter("remove_directory", text)) {
        return sys_fail(*failure);
    }
    auto r = impl_->resolve(text, false);
    if (!r.node) {
        return sys_fail(r.error != 0 ? r.error : win::ERROR_FILE_NOT_FOUND);
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
    impl_->detach(r.node);
    return {};
}

SysResult<void> MemorySystem::delete_file(const std::u16string& path) {
    const std::string text = from_system(path);
    if (auto failure = enter("delete_file", text)) {
        return sys_fail(*failure);
    }
    auto r = impl_->resolve(text, false);
    if (!r.node) {
        return sys_fail(r.error != 0 ? r.error : win::ERROR_FILE_NOT_FOUND);
    }
    if (r.node->kind == Node::Kind::Directory ||
        (r.node->attributes & win::FILE_ATTRIBUTE_READONLY) != 0) {
        return sys_fail(win::ERROR_ACCESS_DENIED);
    }
    if (impl_->sharing_conflict(r.node.get(), win::DELETE, win::FILE_SHARE_ALL)) {
        return sys_fail(win::ERROR_SHARING_VIOLATION);
    }
    impl_->detach(r.node);
    return {};
}

SysResult<void> MemorySystem::set_disposition_ex(std::uintptr_t handle, std::uint32_t flags) {
    if (auto failure = enter("set_disposition_ex")) {
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
        impl_->detach(e->node); // gone from the namespace at once
    } else {
        node.delete_on_close = true;
    }
    return {};
}

SysResult<void> MemorySystem::set_disposition(std::uintptr_t handle, bool delete_file) {
    if (auto failure = enter("set_disposition")) {
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
    if (auto failure = enter("set_attributes")) {
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
                                                    std::uint32_t access, OpenKind kind) {
    const std::string text = wtf8_from_utf16(name);
    if (auto failure = enter("open_relative", text)) {
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
    if (kind == OpenKind::NonDirectory && node->kind == Node::Kind::Directory) {
        return sys_fail(win::ERROR_ACCESS_DENIED); // STATUS_FILE_IS_A_DIRECTORY
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
    if (auto failure = enter("list_directory", e != nullptr ? e->node->name : std::string())) {
        return sys_fail(*failure);
    }
    e = impl_->entry(directory, Impl::Entry::Type::File); // the hook may have changed the world
    if (e == nullptr || e->node->kind != Node::Kind::Directory) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    if (e->next != 0) {
        return sys_fail(win::ERROR_NO_MORE_FILES);
    }
    std::vector<FindData> batch{FindData{win::FILE_ATTRIBUTE_DIRECTORY, 0, u"."},
                                FindData{win::FILE_ATTRIBUTE_DIRECTORY, 0, u".."}};
    for (const auto& [key, child] : e->node->children) {
        batch.push_back(
            FindData{child->attributes, child->reparse_tag, utf16_from_wtf8(child->name)});
    }
    e->next = 1;
    return batch;
}

// ---- Service Control Manager ----

SysResult<UniqueScHandle> MemorySystem::open_sc_manager(std::uint32_t access) {
    if (auto failure = enter("open_sc_manager", std::to_string(access))) {
        return sys_fail(*failure);
    }
    Impl::Entry e;
    e.type = Impl::Entry::Type::Manager;
    e.access = access;
    return UniqueScHandle(*this, impl_->add_handle(std::move(e)));
}

SysResult<UniqueScHandle> MemorySystem::open_service(std::uintptr_t manager,
                                                     const std::u16string& name,
                                                     std::uint32_t access) {
    const std::string text = from_system(name);
    if (auto failure = enter("open_service", text + " " + std::to_string(access))) {
        return sys_fail(*failure);
    }
    if (impl_->entry(manager, Impl::Entry::Type::Manager) == nullptr) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    auto it = impl_->services.find(upper(text));
    if (it == impl_->services.end()) {
        return sys_fail(win::ERROR_SERVICE_DOES_NOT_EXIST);
    }
    ++it->second.handles;
    Impl::Entry e;
    e.type = Impl::Entry::Type::Service;
    e.access = access;
    e.service = it->first;
    return UniqueScHandle(*this, impl_->add_handle(std::move(e)));
}

namespace {
void fill_status(std::byte* at, const MemorySystem::Service& s, std::uint32_t state) {
    put32(at + 0, 0x10); // SERVICE_WIN32_OWN_PROCESS
    put32(at + 4, state);
    put32(at + 8, state == 4 ? 0x1 : 0x0);
    put32(at + 12, s.exit_code);
    put32(at + 16, 0);
    put32(at + 20, 0);
    put32(at + 24, 0);
}
} // namespace

SysResult<void> MemorySystem::query_service_status(std::uintptr_t service,
                                                   ServiceStatusBytes& status) {
    if (auto failure = enter("query_service_status")) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(service, Impl::Entry::Type::Service);
    if (e == nullptr) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    Service& s = impl_->services.at(e->service);
    if (s.queries_since_stop >= 0 && s.stop == ServiceStop::Prompt && s.state != 1) {
        if (s.queries_since_stop >= s.stop_delay_queries) {
            s.state = 1;
        }
        ++s.queries_since_stop;
    }
    fill_status(status.data(), s, s.state);
    put32(status.data() + 28, s.state == 1 ? 0 : 4242); // dwProcessId
    put32(status.data() + 32, 0);
    return {};
}

SysResult<void> MemorySystem::control_service(std::uintptr_t service, std::uint32_t control,
                                              ControlStatusBytes& status) {
    if (auto failure = enter("control_service", std::to_string(control))) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(service, Impl::Entry::Type::Service);
    if (e == nullptr) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    Service& s = impl_->services.at(e->service);
    ++s.stop_controls;
    if (s.state == 1) {
        return sys_fail(win::ERROR_SERVICE_NOT_ACTIVE);
    }
    if (s.stop == ServiceStop::Refuse) {
        return sys_fail(s.stop_error);
    }
    if (s.stop == ServiceStop::Prompt) {
        s.state = 3; // SERVICE_STOP_PENDING
        s.queries_since_stop = 0;
    }
    fill_status(status.data(), s, s.raw_state_after_stop != 0 ? s.raw_state_after_stop : s.state);
    return {};
}

SysResult<void> MemorySystem::delete_service(std::uintptr_t service) {
    if (auto failure = enter("delete_service")) {
        return sys_fail(*failure);
    }
    auto* e = impl_->entry(service, Impl::Entry::Type::Service);
    if (e == nullptr) {
        return sys_fail(ERROR_INVALID_HANDLE);
    }
    Service& s = impl_->services.at(e->service);
    if (s.marked_for_delete) {
        return sys_fail(win::ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    s.marked_for_delete = true;
    return {};
}

// ---- Release calls ----

void MemorySystem::close_handle(std::uintptr_t handle) {
    enter("close_handle");
    if (impl_->entry(handle, Impl::Entry::Type::File) == nullptr) {
        ++bad_releases_;
        return;
    }
    impl_->release_file_handle(handle);
}

void MemorySystem::close_service_handle(std::uintptr_t service) {
    enter("close_service_handle");
    auto it = impl_->handles.find(service);
    if (it == impl_->handles.end() || (it->second.type != Impl::Entry::Type::Service &&
                                       it->second.type != Impl::Entry::Type::Manager)) {
        ++bad_releases_;
        return;
    }
    if (it->second.type == Impl::Entry::Type::Service) {
        const std::string key = it->second.service;
        if (auto s = impl_->services.find(key); s != impl_->services.end()) {
            Impl::remove_service_handle(s->second, impl_->services, key);
        }
    }
    impl_->handles.erase(it);
}

void MemorySystem::local_free(std::uintptr_t memory) {
    enter("local_free");
    if (allocations_.erase(memory) == 0) {
        ++bad_releases_;
        return;
    }
}

template <class T> std::uintptr_t MemorySystem::allocate(std::shared_ptr<T> object) {
    const auto address = reinterpret_cast<std::uintptr_t>(object.get());
    allocations_.emplace(address, std::move(object));
    return address;
}

} // namespace orvex
