// Access control: the DACLs of the model's objects, what each object inherits, and the check that
// an open makes against the calling account's token. Windows' rules, reduced to what the tool and
// its tests can meet: allow and deny entries in order, the owner's implicit READ_CONTROL and
// WRITE_DAC, inheritance to files (OI) and directories (CI), the parent's FILE_DELETE_CHILD and
// FILE_LIST_DIRECTORY, and no privilege enabled (backup intent grants nothing).
#include <cstdio>

#include "model/model_state.hpp"

namespace orvex {

using namespace model;

namespace model {
namespace {

constexpr std::uint32_t FILE_ALL = 0x1F01FF;
constexpr std::uint32_t FILE_READ = 0x120089;
constexpr std::uint32_t FILE_WRITE = 0x120116;
constexpr std::uint32_t FILE_EXECUTE_ALL = 0x1200A0;

} // namespace

std::string sid_of_alias(std::string_view alias) {
    static const std::pair<std::string_view, std::string_view> ALIASES[] = {
        {"SY", SID_LOCAL_SYSTEM}, {"BA", SID_BUILTIN_ADMINISTRATORS},
        {"WD", "S-1-1-0"},        {"AU", "S-1-5-11"},
        {"BU", "S-1-5-32-545"},   {"CO", SID_CREATOR_OWNER},
    };
    for (const auto& [name, sid] : ALIASES) {
        if (alias == name) {
            return std::string(sid);
        }
    }
    return std::string(alias);
}

namespace {

std::uint32_t rights_of(std::string_view text) {
    if (text.starts_with("0x") || text.starts_with("0X")) {
        return static_cast<std::uint32_t>(std::stoul(std::string(text.substr(2)), nullptr, 16));
    }
    static const std::pair<std::string_view, std::uint32_t> RIGHTS[] = {
        {"FA", FILE_ALL},   {"GA", FILE_ALL},   {"FR", FILE_READ},        {"GR", FILE_READ},
        {"FW", FILE_WRITE}, {"GW", FILE_WRITE}, {"FX", FILE_EXECUTE_ALL}, {"GX", FILE_EXECUTE_ALL},
        {"SD", 0x10000},    {"RC", 0x20000},    {"WD", 0x40000},          {"WO", 0x80000},
    };
    std::uint32_t mask = 0;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        for (const auto& [name, bits] : RIGHTS) {
            if (text.substr(i, 2) == name) {
                mask |= bits;
            }
        }
    }
    return mask;
}

} // namespace

std::vector<Ace> parse_aces(std::string_view text) {
    std::vector<Ace> aces;
    std::size_t at = 0;
    while ((at = text.find('(', at)) != std::string_view::npos) {
        const std::size_t end = text.find(')', at);
        std::vector<std::string_view> fields;
        std::size_t start = at + 1;
        for (std::size_t i = start; i <= end; ++i) {
            if (i == end || text[i] == ';') {
                fields.push_back(text.substr(start, i - start));
                start = i + 1;
            }
        }
        at = end;
        if (fields.size() != 6) {
            continue;
        }
        Ace ace;
        ace.allow = fields[0] == "A";
        for (std::size_t i = 0; i + 1 < fields[1].size(); i += 2) {
            const std::string_view flag = fields[1].substr(i, 2);
            ace.object_inherit |= flag == "OI";
            ace.container_inherit |= flag == "CI";
            ace.no_propagate |= flag == "NP";
            ace.inherit_only |= flag == "IO";
        }
        ace.mask = rights_of(fields[2]);
        ace.sid = sid_of_alias(fields[5]);
        aces.push_back(std::move(ace));
    }
    return aces;
}

std::string format_aces(const std::vector<Ace>& aces) {
    std::string text;
    for (const Ace& ace : aces) {
        char mask[16];
        std::snprintf(mask, sizeof(mask), "0x%x", ace.mask);
        text += std::string("(") + (ace.allow ? "A" : "D") + ";" +
                (ace.object_inherit ? "OI" : "") + (ace.container_inherit ? "CI" : "") +
                (ace.no_propagate ? "NP" : "") + (ace.inherit_only ? "IO" : "") + "ID;" + mask +
                ";;;" + ace.sid + ")";
    }
    return text;
}

std::vector<Ace> inherited_from(const std::vector<Ace>& parent, bool directory) {
    std::vector<Ace> aces;
    for (Ace ace : parent) {
        if (!directory) {
            if (!ace.object_inherit) {
                continue;
            }
            ace.object_inherit = ace.container_inherit = ace.no_propagate = false;
            ace.inherit_only = false;
        } else if (ace.container_inherit) {
            ace.inherit_only = false;
            if (ace.no_propagate) {
                ace.object_inherit = ace.container_inherit = ace.no_propagate = false;
            }
        } else if (ace.object_inherit && !ace.no_propagate) {
            ace.inherit_only = true; // passed on to the files below, not applying here
        } else {
            continue;
        }
        aces.push_back(std::move(ace));
    }
    return aces;
}

std::uint32_t requested_rights(Access access) {
    std::uint32_t mask = access.bits() & 0x00FFFFFFu;
    if (access.intersects(Access::GenericRead)) {
        mask |= FILE_READ;
    }
    if (access.intersects(Access::GenericWrite)) {
        mask |= FILE_WRITE;
    }
    return mask;
}

std::vector<std::string> token_of(Caller caller) {
    switch (caller) {
    case Caller::LocalSystem:
        return {std::string(SID_LOCAL_SYSTEM), std::string(SID_BUILTIN_ADMINISTRATORS), "S-1-1-0",
                "S-1-5-11"};
    case Caller::Administrator:
        return {std::string(SID_ADMINISTRATOR), std::string(SID_BUILTIN_ADMINISTRATORS), "S-1-1-0",
                "S-1-5-11", "S-1-5-32-545"};
    case Caller::User:
        break;
    }
    return {std::string(SID_FOREIGN_USER), "S-1-1-0", "S-1-5-11", "S-1-5-32-545"};
}

bool may_own(Caller caller, std::string_view sid) {
    switch (caller) {
    case Caller::LocalSystem:
        return sid == SID_LOCAL_SYSTEM || sid == SID_BUILTIN_ADMINISTRATORS;
    case Caller::Administrator:
        return sid == SID_ADMINISTRATOR || sid == SID_BUILTIN_ADMINISTRATORS;
    case Caller::User:
        break;
    }
    return sid == SID_FOREIGN_USER;
}

} // namespace model

std::vector<Ace> MemorySystem::Impl::effective(const Node& node) const {
    std::vector<Ace> aces = parse_aces(node.dacl);
    if (!node.dacl_protected) {
        auto inherited = parse_aces(node.inherited);
        aces.insert(aces.end(), inherited.begin(), inherited.end());
    }
    return aces;
}

void MemorySystem::Impl::inherit(Node& node, const Node& parent) const {
    node.inherited =
        format_aces(inherited_from(effective(parent), node.kind == Node::Kind::Directory));
}

void MemorySystem::Impl::propagate(Node& node, bool through_links, int depth) {
    if (depth > 64) {
        return;
    }
    for (auto& [key, child] : node.children) {
        Node* target = child.get();
        if (child->is_link()) {
            if (!through_links) {
                inherit(*child, node);
                continue;
            }
            target = resolve(child->link_target, true).node.get();
            if (target == nullptr) {
                continue;
            }
        }
        if (!target->dacl_protected) {
            inherit(*target, node);
            propagate(*target, through_links, depth + 1);
        }
    }
}

std::uint32_t MemorySystem::Impl::granted(const Node& node, std::uint32_t wanted,
                                          const std::vector<std::string>& token) const {
    const auto holds = [&](const std::string& sid) {
        return std::ranges::find(token, sid) != token.end();
    };
    std::uint32_t granted = 0;
    if (holds(node.owner)) {
        granted |= 0x20000 | 0x40000; // READ_CONTROL, WRITE_DAC
    }
    for (const Ace& ace : effective(node)) {
        const bool applies = !ace.inherit_only &&
                             (ace.sid == SID_CREATOR_OWNER ? holds(node.owner) : holds(ace.sid));
        if (!applies) {
            continue;
        }
        if (!ace.allow && (ace.mask & wanted & ~granted) != 0) {
            return granted; // a deny entry ends the evaluation
        }
        if (ace.allow) {
            granted |= ace.mask & wanted;
        }
    }
    return granted;
}

bool MemorySystem::Impl::allows(const Node& node, Access access,
                                const std::vector<std::string>& token) const {
    const std::uint32_t wanted = requested_rights(access);
    std::uint32_t got = granted(node, wanted, token);
    // What the parent grants on its children: deleting (FILE_DELETE_CHILD) and reading
    // attributes (FILE_LIST_DIRECTORY).
    if (const auto parent = node.parent.lock(); parent && (wanted & ~got) != 0) {
        const std::uint32_t from_parent = granted(*parent, 0x40 | 0x1, token);
        if ((from_parent & 0x40) != 0) {
            got |= wanted & 0x10000;
        }
        if ((from_parent & 0x1) != 0) {
            got |= wanted & 0x80;
        }
    }
    return (wanted & ~got) == 0;
}

} // namespace orvex
