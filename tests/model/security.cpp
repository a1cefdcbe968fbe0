// SIDs, descriptors and accounts.
#include "model/model_state.hpp"

namespace orvex {

using namespace model;

namespace model {

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

} // namespace model

// ---- Security ----

SysResult<OwnedDescriptor> MemorySystem::convert_sddl(const std::u16string& sddl) {
    if (auto failure = enter(Op::ConvertSddl)) {
        return sys_fail(*failure);
    }
    const std::string text = from_system(sddl);
    auto descriptor = std::make_shared<DescriptorObject>();
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (text.compare(pos, 2, "O:") == 0) {
            const std::size_t end = text.find("D:", pos + 2);
            descriptor->owner = sid_of_alias(text.substr(pos + 2, end - pos - 2));
            pos = end == std::string::npos ? text.size() : end;
        } else if (text.compare(pos, 2, "D:") == 0) {
            descriptor->has_dacl = true;
            descriptor->acl.text = text.substr(pos + 2);
            pos = text.size();
        } else {
            return sys_fail(WinCode::InvalidAcl);
        }
    }
    return OwnedDescriptor(*this, allocate(std::move(descriptor)));
}

SysResult<DaclQuery> MemorySystem::security_descriptor_dacl(DescriptorRef descriptor) {
    if (auto failure = enter(Op::SecurityDescriptorDacl)) {
        return sys_fail(*failure);
    }
    auto* d = static_cast<const DescriptorObject*>(descriptor.get());
    return DaclQuery{d->has_dacl, AclRef(d->has_dacl ? &d->acl : nullptr)};
}

SysResult<SidBuffer> MemorySystem::well_known_sid(WellKnownSid kind) {
    if (auto failure =
            enter(Op::CreateWellKnownSid, std::to_string(static_cast<std::uint32_t>(kind)))) {
        return sys_fail(*failure);
    }
    std::optional<SidBlob> blob;
    if (kind == WellKnownSid::LocalSystem) {
        blob = sid_from_string(SID_LOCAL_SYSTEM);
    } else if (kind == WellKnownSid::BuiltinAdministrators) {
        blob = sid_from_string(SID_BUILTIN_ADMINISTRATORS);
    }
    if (!blob) {
        return sys_fail(WinCode::InvalidParameter);
    }
    SidBuffer sid;
    std::memcpy(sid.bytes.data(), blob->bytes.data(), sid_length(blob->bytes.data()));
    return sid;
}

bool MemorySystem::equal_sid(SidRef a, SidRef b) {
    enter(Op::EqualSid);
    const std::size_t length = sid_length(a.get());
    return length == sid_length(b.get()) && std::memcmp(a.get(), b.get(), length) == 0;
}

OwnerQuery MemorySystem::get_owner(FileRef handle) {
    OwnerQuery query;
    if (auto failure = enter(Op::GetOwner)) {
        query.code = *failure;
        return query;
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr || !e->node) {
        query.code = WinCode::InvalidHandle;
        return query;
    }
    if (!e->access.intersects(Access::ReadControl | Access::GenericRead)) {
        query.code = WinCode::AccessDenied;
        return query;
    }
    auto blob = sid_from_string(e->node->owner);
    auto object = std::make_shared<OwnerObject>(OwnerObject{blob.value_or(SidBlob{})});
    query.owner = SidRef(object->owner.bytes.data());
    query.descriptor = OwnedDescriptor(*this, allocate(std::move(object)));
    return query;
}

WinCode MemorySystem::set_security_info(FileRef handle, SecurityInformation information,
                                        SidRef owner, AclRef dacl) {
    const bool owner_change = information.intersects(SecurityInformation::Owner);
    if (auto failure = enter(Op::SetSecurityInfo, owner_change ? "owner" : "dacl")) {
        return *failure;
    }
    auto* e = impl_->entry(handle, Impl::Entry::Type::File);
    if (e == nullptr || !e->node) {
        return WinCode::InvalidHandle;
    }
    const bool dacl_change = information.intersects(SecurityInformation::Dacl);
    if ((owner_change && !e->access.intersects(Access::WriteOwner)) ||
        (dacl_change && !e->access.intersects(Access::WriteDac))) {
        return WinCode::AccessDenied;
    }
    if (owner_change) {
        const std::string sid = sid_to_string(owner.get());
        if (!may_own(caller, sid)) {
            return WinCode(1307); // ERROR_INVALID_OWNER: not a SID of the caller's token
        }
        e->node->owner = sid;
        owner_changes.push_back({impl_->path_of(*e->node), e->node->owner});
    }
    if (dacl_change) {
        e->node->dacl = static_cast<const AclObject*>(dacl.get())->text;
        e->node->dacl_protected = information.intersects(SecurityInformation::ProtectedDacl);
        // The new inheritable entries reach every existing descendant that is not protected.
        impl_->propagate(*e->node, propagation_follows_links);
    }
    return WinCode::Success;
}

SysResult<OwnedSid> MemorySystem::convert_string_sid(const std::u16string& sid) {
    const std::string text = from_system(sid);
    if (auto failure = enter(Op::ConvertStringSid, text)) {
        return sys_fail(*failure);
    }
    // The standard form, or an SDDL alias ("BA"), as the reference page allows.
    auto blob = sid_from_string(sid_of_alias(text));
    if (!blob) {
        return sys_fail(WinCode::InvalidSid);
    }
    return OwnedSid(*this, allocate(std::make_shared<OwnerObject>(OwnerObject{*blob})));
}

WinCode MemorySystem::lookup_account_sid_probe(SidRef sid) {
    const std::string text = sid_to_string(sid.get());
    if (auto failure = enter(Op::LookupAccountSid, text)) {
        return *failure;
    }
    // Well-known accounts and groups resolve on every machine.
    static const std::set<std::string, std::less<>> WELL_KNOWN = {
        "S-1-1-0",  "S-1-3-0",  "S-1-5-11",     "S-1-5-18",
        "S-1-5-19", "S-1-5-20", "S-1-5-32-544", "S-1-5-32-545"};
    return accounts_.contains(text) || WELL_KNOWN.contains(text) ? WinCode::InsufficientBuffer
                                                                 : WinCode::NoneMapped;
}

} // namespace orvex
