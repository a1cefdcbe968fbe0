#pragma once
// What both implementations of the seam must do alike: cases written once and run against each,
// natively against the in-memory model and, under Windows or Wine, against the Win32 adapter in
// a scratch directory. The other tests trust the model, so a difference found here is fixed in
// the model, never in a case.
//
// A world supplies what differs between the two:
//   System& system();
//   static std::u16string scratch();          an empty directory for the case (no NUL)
//   std::uintptr_t hold(path, share[, access]);  a handle that another process holds on an
//                                             existing file or directory, for reading and writing
//                                             unless `access` says otherwise; 0 if it cannot be
//                                             opened
//   SysResult<void> lock_held(handle, offset, length);  that process's LockFile on it
//   void release(handle);                     that process closes it
//   bool make_junction(path, target);         false where the system cannot make links
//   bool make_symlink(path, target, directory);  likewise, for a symbolic link
//   bool refuses_delete_pending_opens();      false under Wine 8, which opens such objects
//   bool checks_attribute_access();           whether attribute queries need FILE_READ_ATTRIBUTES
//   bool empty_locks_have_an_end();           whether zero-length locks follow [MS-FSA] 2.1.4.10
//                                             (Wine 8's do not)
//   bool removes_with_posix_semantics();      whether RemoveDirectoryW deletes with POSIX semantics
//                                             where the file system offers them (Windows 10 1903
//                                             and later; not Wine 8)
//   bool keeps_security();                    whether owners and DACLs are kept and checked
//                                             (Wine 8 keeps neither)
//   bool runs_as_local_system();              the account of the case: LocalSystem, or else an
//                                             elevated administrator

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/text.hpp"
#include "owners/tree_removal.hpp"
#include "platform/system.hpp"

namespace orvex::contract {

inline std::uint32_t low(std::uint64_t value) {
    return static_cast<std::uint32_t>(value);
}
inline std::uint32_t high(std::uint64_t value) {
    return static_cast<std::uint32_t>(value >> 32);
}
inline std::u16string_view without_nul(const std::u16string& text) {
    std::u16string_view view(text);
    if (!view.empty() && view.back() == u'\0') {
        view.remove_suffix(1);
    }
    return view;
}

// The code a call failed with, 0 if it succeeded.
template <class T> WinCode code_of(const SysResult<T>& result) {
    return result ? WinCode::Success : result.error();
}

struct Listing {
    std::vector<FindData> entries;
    int batches = 0;
    WinCode end; // the code that ended the listing
};

// Every batch until the call fails; bounded, so that a listing that never ends fails the case
// rather than hanging it.
inline Listing list_all(System& system, FileRef directory) {
    Listing listing;
    while (listing.batches < 10000) {
        auto batch = system.list_directory(directory);
        if (!batch) {
            listing.end = batch.error();
            break;
        }
        ++listing.batches;
        listing.entries.insert(listing.entries.end(), batch->begin(), batch->end());
    }
    return listing;
}

inline std::vector<FindData> named(const Listing& listing, std::u16string_view name) {
    std::vector<FindData> found;
    std::ranges::copy_if(listing.entries, std::back_inserter(found),
                         [&](const FindData& entry) { return entry.name == name; });
    return found;
}

template <class World> class SeamContract : public ::testing::Test {
  protected:
    // `name` below the scratch directory, with the NUL that the seam's paths carry.
    static std::u16string at(std::u16string_view name) {
        std::u16string path = World::scratch() + u"\\" + std::u16string(name);
        path.push_back(u'\0');
        return path;
    }
    static std::u16string scratch() {
        std::u16string path = World::scratch();
        path.push_back(u'\0');
        return path;
    }
    SysResult<UniqueHandle> open(const std::u16string& path, Access access,
                                 ShareMode share = ShareMode::All) {
        return system.create_file(path, access, share, Disposition::OpenExisting,
                                  OpenFlags::BackupSemantics);
    }
    bool make_file(const std::u16string& path) {
        return system
            .create_file(path, Access::GenericWrite, ShareMode::All, Disposition::OpenAlways,
                         OpenFlags{})
            .has_value();
    }
    // How many entries named `name` a listing of `directory` shows.
    std::size_t listed(const std::u16string& directory, std::u16string_view name) {
        auto handle = open(directory, Access::ListDirectory);
        if (!handle) {
            ADD_FAILURE() << "cannot list: " << handle.error();
            return 0;
        }
        return named(list_all(system, handle->ref()), name).size();
    }
    SysResult<void> lock_whole(FileRef handle) { return system.lock_whole_file(handle); }
    // 0 where the file system deletes with POSIX semantics, else the code that refuses them (on
    // Wine 8 every FileDispositionInfoEx call, on Windows file systems other than NTFS).
    WinCode posix_refusal() {
        const auto probe = at(u"posix-probe");
        if (!make_file(probe)) {
            ADD_FAILURE() << "cannot create the probe file";
            return WinCode::InvalidFunction;
        }
        auto handle = open(probe, Access::Delete);
        if (!handle) {
            ADD_FAILURE() << "cannot open the probe file: " << handle.error();
            return handle.error();
        }
        const WinCode refused = code_of(system.set_disposition_ex(
            handle->ref(), DispositionFlags::Delete | DispositionFlags::PosixSemantics));
        handle->reset();
        if (refused != WinCode::Success) {
            EXPECT_TRUE(system.delete_file(probe));
        }
        return refused;
    }

    // The directory at `path`, made with the descriptor of `sddl`.
    bool make_secured_directory(const std::u16string& path, std::u16string_view sddl) {
        std::u16string text(sddl);
        text.push_back(u'\0');
        auto descriptor = system.convert_sddl(text);
        return descriptor && system.create_directory(path, descriptor->ref()).has_value();
    }
    // Applies the DACL of `sddl` through `handle`, protected, as the tool does.
    WinCode apply_dacl(FileRef handle, std::u16string_view sddl) {
        std::u16string text(sddl);
        text.push_back(u'\0');
        auto descriptor = system.convert_sddl(text);
        if (!descriptor) {
            return descriptor.error();
        }
        auto dacl = system.security_descriptor_dacl(descriptor->ref());
        if (!dacl || !dacl->present) {
            return WinCode::InvalidAcl;
        }
        return system.set_security_info(
            handle, SecurityInformation::Dacl | SecurityInformation::ProtectedDacl, SidRef{},
            dacl->dacl);
    }
    // How the tool opens a directory that it secures.
    SysResult<UniqueHandle> open_to_secure(const std::u16string& path) {
        return system.create_file(path, Access::ReadControl | Access::WriteDac | Access::WriteOwner,
                                  ShareMode::All, Disposition::OpenExisting,
                                  OpenFlags::BackupSemantics | OpenFlags::OpenReparsePoint);
    }

    World world;
    System& system = world.system();
};

TYPED_TEST_SUITE_P(SeamContract);

TYPED_TEST_P(SeamContract, OpensThatAHeldHandleDoesNotShareFailWith32) {
    System& system = this->system;
    const auto file = this->at(u"held.txt");
    const auto dir = this->at(u"held-dir");
    ASSERT_TRUE(this->make_file(file));
    ASSERT_TRUE(system.create_directory(dir, DescriptorRef{}));

    const std::uintptr_t exclusive = this->world.hold(file, ShareMode{});
    ASSERT_NE(exclusive, 0u);
    EXPECT_EQ(code_of(this->open(file, Access::GenericRead)), WinCode::SharingViolation);
    EXPECT_EQ(code_of(system.delete_file(file)), WinCode::SharingViolation);
    // Sharing governs reading, writing and deleting: an open for attributes only is not refused,
    // and when it shares nothing it refuses nobody.
    auto attributes_only = this->open(file, Access::ReadAttributes, ShareMode{});
    ASSERT_TRUE(attributes_only);
    this->world.release(exclusive);
    EXPECT_EQ(code_of(this->open(file, Access::GenericRead | Access::GenericWrite)),
              WinCode::Success);
    attributes_only->reset();

    // Each side must share what the other's handle may do: the holder reads and writes, and
    // shares reading only.
    const std::uintptr_t reading = this->world.hold(file, ShareMode::Read);
    ASSERT_NE(reading, 0u);
    EXPECT_EQ(code_of(this->open(file, Access::GenericRead)), WinCode::Success);
    EXPECT_EQ(code_of(this->open(file, Access::GenericWrite)), WinCode::SharingViolation);
    EXPECT_EQ(code_of(this->open(file, Access::GenericRead, ShareMode::Read)),
              WinCode::SharingViolation);
    this->world.release(reading);

    const std::uintptr_t undeletable = this->world.hold(dir, ShareMode::Read | ShareMode::Write);
    ASSERT_NE(undeletable, 0u);
    EXPECT_EQ(code_of(system.remove_directory(dir)), WinCode::SharingViolation);
    EXPECT_EQ(code_of(this->open(dir, Access::Delete)), WinCode::SharingViolation);
    this->world.release(undeletable);
    // Such a hold keeps the directory only because it lists it: one that asks for READ_CONTROL
    // and attributes alone, sharing no deletion either, blocks nothing.
    const std::uintptr_t inspecting = this->world.hold(
        dir, ShareMode::Read | ShareMode::Write, Access::ReadControl | Access::ReadAttributes);
    ASSERT_NE(inspecting, 0u);
    EXPECT_EQ(code_of(this->open(dir, Access::Delete)), WinCode::Success);
    this->world.release(inspecting);
    EXPECT_EQ(code_of(system.remove_directory(dir)), WinCode::Success);
}

TYPED_TEST_P(SeamContract, SharingCountsTraverseAsReadingAndAppendAsWriting) {
    System& system = this->system;
    const auto dir = this->at(u"current");
    const auto file = this->at(u"log.txt");
    ASSERT_TRUE(system.create_directory(dir, DescriptorRef{}));
    ASSERT_TRUE(this->make_file(file));
    // A directory held for traversal only, without sharing deletion (a current directory, say),
    // refuses an open for deletion; so does a file held for appending, an open for writing.
    ASSERT_NE(this->world.hold(dir, ShareMode::Read | ShareMode::Write, Access::Execute), 0u);
    ASSERT_NE(this->world.hold(file, ShareMode::Read, Access::AppendData), 0u);
    auto scratch = this->open(this->scratch(), Access::ListDirectory);
    ASSERT_TRUE(scratch);
    EXPECT_EQ(code_of(system.open_relative(scratch->ref(), u"current",
                                           Access::Delete | Access::ListDirectory)),
              WinCode::SharingViolation);
    EXPECT_EQ(code_of(this->open(file, Access::GenericWrite)), WinCode::SharingViolation);
    // Asking for neither reading, writing nor deleting conflicts with nothing.
    EXPECT_TRUE(system.open_relative(scratch->ref(), u"current", Access::ReadAttributes));
}

TYPED_TEST_P(SeamContract, AnOwnersDaclIsCheckedAndOnlyTheTokensOwnersMayBeAssigned) {
    System& system = this->system;
    if (!this->world.keeps_security()) {
        GTEST_SKIP() << "this system keeps no owners or DACLs";
    }
    // Everything but WRITE_OWNER for everyone: no privilege is enabled, so backup semantics do
    // not get it either, and the owner's implicit rights are READ_CONTROL and WRITE_DAC only.
    ASSERT_TRUE(this->make_secured_directory(this->at(u"locked"), u"D:P(A;;0x1701FF;;;WD)"));
    EXPECT_EQ(code_of(this->open_to_secure(this->at(u"locked"))), WinCode::AccessDenied);
    EXPECT_TRUE(system.create_file(this->at(u"locked"), Access::ReadControl | Access::WriteDac,
                                   ShareMode::All, Disposition::OpenExisting,
                                   OpenFlags::BackupSemantics));

    // LocalSystem may be made the owner only by LocalSystem; an administrator gets 1307.
    ASSERT_TRUE(system.create_directory(this->at(u"owned"), DescriptorRef{}));
    auto owned = this->open_to_secure(this->at(u"owned"));
    ASSERT_TRUE(owned);
    const auto local_system = system.well_known_sid(WellKnownSid::LocalSystem);
    ASSERT_TRUE(local_system);
    EXPECT_EQ(system.set_security_info(owned->ref(), SecurityInformation::Owner,
                                       local_system->ref(), AclRef{}),
              this->world.runs_as_local_system() ? WinCode::Success : WinCode(1307));
}

TYPED_TEST_P(SeamContract, ADaclIsPropagatedIntoExistingChildren) {
    System& system = this->system;
    if (!this->world.keeps_security()) {
        GTEST_SKIP() << "this system keeps no owners or DACLs";
    }
    ASSERT_TRUE(system.create_directory(this->at(u"d"), DescriptorRef{}));
    ASSERT_TRUE(this->make_file(this->at(u"d\\f")));
    auto dir = system.create_file(this->at(u"d"),
                                  Access::ReadControl | Access::WriteDac | Access::ListDirectory,
                                  ShareMode::All, Disposition::OpenExisting,
                                  OpenFlags::BackupSemantics | OpenFlags::OpenReparsePoint);
    ASSERT_TRUE(dir);
    EXPECT_TRUE(system.open_relative(dir->ref(), u"f", Access::Delete));
    // Reading for everyone, inherited by files: the file, made before, may no longer be deleted
    // once the new entries have reached it (d grants no FILE_DELETE_CHILD either).
    ASSERT_EQ(this->apply_dacl(dir->ref(), u"D:P(A;OICI;0x1200A9;;;WD)"), WinCode::Success);
    EXPECT_EQ(code_of(system.open_relative(dir->ref(), u"f", Access::Delete)),
              WinCode::AccessDenied);
    // Everything for everyone again, so that the scratch directory can be removed.
    ASSERT_EQ(this->apply_dacl(dir->ref(), u"D:P(A;OICI;FA;;;WD)"), WinCode::Success);
    EXPECT_TRUE(system.open_relative(dir->ref(), u"f", Access::Delete));
}

TYPED_TEST_P(SeamContract, AWholeRangeLockMeetsALockOnAnyRangeWith33) {
    const auto file = this->at(u"gate.lock");
    ASSERT_TRUE(this->make_file(file));
    auto ours = this->open(file, Access::GenericRead | Access::GenericWrite);
    ASSERT_TRUE(ours);

    const std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges{
        {0, 1}, {10, 10}, {std::uint64_t{1} << 40, 1}};
    for (const auto& [offset, length] : ranges) {
        SCOPED_TRACE(offset);
        const std::uintptr_t holder = this->world.hold(file, ShareMode::All);
        ASSERT_NE(holder, 0u);
        ASSERT_TRUE(this->world.lock_held(holder, offset, length));
        EXPECT_EQ(code_of(this->lock_whole(ours->ref())), WinCode::LockViolation);
        this->world.release(holder); // its locks go with the handle
    }

    ASSERT_TRUE(this->lock_whole(ours->ref()));
    // Exclusive locks exclude each other even through the handle that holds them.
    EXPECT_EQ(code_of(this->lock_whole(ours->ref())), WinCode::LockViolation);
    const std::uintptr_t holder = this->world.hold(file, ShareMode::All);
    ASSERT_NE(holder, 0u);
    for (const auto& [offset, length] : ranges) {
        EXPECT_EQ(code_of(this->world.lock_held(holder, offset, 1)), WinCode::LockViolation)
            << offset;
    }
}

TYPED_TEST_P(SeamContract, AZeroLengthLockMeetsTheWholeRangeUnlessItIsAtZero) {
    if (!this->world.empty_locks_have_an_end()) {
        GTEST_SKIP()
            << "this system places zero-length locks otherwise (Wine 8, measured: one at 10 "
               "meets nothing, one at 0 meets the whole range)";
    }
    const auto file = this->at(u"zero.lock");
    ASSERT_TRUE(this->make_file(file));
    // A range ends at Offset + Length - 1: empty at 10 it still ends at 9, inside the whole range.
    const std::uintptr_t at_ten = this->world.hold(file, ShareMode::All);
    ASSERT_TRUE(this->world.lock_held(at_ten, 10, 0));
    auto ours = this->open(file, Access::GenericRead | Access::GenericWrite);
    ASSERT_TRUE(ours);
    EXPECT_EQ(code_of(this->lock_whole(ours->ref())), WinCode::LockViolation);
    this->world.release(at_ten);
    // Only the empty range at 0 meets nothing.
    const std::uintptr_t at_zero = this->world.hold(file, ShareMode::All);
    ASSERT_TRUE(this->world.lock_held(at_zero, 0, 0));
    EXPECT_EQ(code_of(this->lock_whole(ours->ref())), WinCode::Success);
}

TYPED_TEST_P(SeamContract, AStringSidMayBeAnSddlAlias) {
    System& system = this->system;
    auto alias = system.convert_string_sid(u"BA\0");
    auto full = system.convert_string_sid(u"S-1-5-32-544\0");
    ASSERT_TRUE(alias && full);
    EXPECT_TRUE(system.equal_sid(alias->ref(), full->ref()));
    EXPECT_EQ(code_of(system.convert_string_sid(u"S-1-5-32-544-x\0")), WinCode::InvalidSid);
}

TYPED_TEST_P(SeamContract, TheTreeRemovalTakesATreeAndLeavesWhatItsJunctionLeadsTo) {
    System& system = this->system;
    ASSERT_TRUE(system.create_directory(this->at(u"owner"), DescriptorRef{}));
    ASSERT_TRUE(system.create_directory(this->at(u"owner\\state"), DescriptorRef{}));
    ASSERT_TRUE(system.create_directory(this->at(u"kept"), DescriptorRef{}));
    for (const char16_t* name : {u"owner\\owner.json", u"owner\\state\\settings.dat",
                                 u"owner\\read-only.dat", u"kept\\keep.txt"}) {
        ASSERT_TRUE(this->make_file(this->at(name)));
    }
    {
        auto attributes = this->open(this->at(u"owner\\read-only.dat"), Access::WriteAttributes);
        ASSERT_TRUE(attributes);
        ASSERT_TRUE(system.set_attributes(attributes->ref(), FileAttributes::ReadOnly));
    }
    const bool junction = this->world.make_junction(this->at(u"owner\\link"), this->at(u"kept"));
    // Every call as the maintenance makes it: relative to the scratch directory, then the tree.
    auto scratch = this->open(this->scratch(), Access::ListDirectory | Access::ReadAttributes);
    ASSERT_TRUE(scratch);
    auto root = system.open_relative(scratch->ref(), u"owner", TREE_ACCESS);
    ASSERT_TRUE(root);
    const auto tag = system.attribute_tag(root->ref());
    ASSERT_TRUE(tag);
    DeletionContext context;
    const auto removed = remove_tree(system, std::move(*root), *tag, context, u"owner.json");
    EXPECT_TRUE(removed) << (removed ? 0 : removed.error().code);
    EXPECT_EQ(this->listed(this->scratch(), u"owner"), 0u);
    // Where junctions can be made, the tree held one to `kept`.
    EXPECT_EQ(this->listed(this->at(u"kept"), u"keep.txt"), 1u) << "junction made: " << junction;
}

TYPED_TEST_P(SeamContract, CreatingADirectoryWhereANameExistsFailsWith183) {
    System& system = this->system;
    const auto dir = this->at(u"d");
    const auto file = this->at(u"f.txt");
    ASSERT_TRUE(system.create_directory(dir, DescriptorRef{}));
    ASSERT_TRUE(this->make_file(file));
    EXPECT_EQ(code_of(system.create_directory(dir, DescriptorRef{})), WinCode::AlreadyExists);
    EXPECT_EQ(code_of(system.create_directory(file, DescriptorRef{})), WinCode::AlreadyExists);
}

TYPED_TEST_P(SeamContract, ANonEmptyDirectoryStaysWith145) {
    System& system = this->system;
    const WinCode posix_refused = this->posix_refusal();
    const auto dir = this->at(u"full");
    const auto file = this->at(u"full\\f.txt");
    ASSERT_TRUE(system.create_directory(dir, DescriptorRef{}));
    ASSERT_TRUE(this->make_file(file));
    ASSERT_TRUE(system.create_directory(this->at(u"full\\sub"), DescriptorRef{}));

    EXPECT_EQ(code_of(system.remove_directory(dir)), WinCode::DirNotEmpty);
    {
        auto handle = this->open(dir, Access::Delete);
        ASSERT_TRUE(handle);
        EXPECT_EQ(code_of(system.set_disposition(handle->ref(), true)), WinCode::DirNotEmpty);
        EXPECT_EQ(code_of(system.set_disposition_ex(
                      handle->ref(), DispositionFlags::Delete | DispositionFlags::PosixSemantics)),
                  posix_refused != WinCode::Success ? posix_refused : WinCode::DirNotEmpty);
    }
    EXPECT_TRUE(this->open(file, Access::ReadAttributes)); // none of it went
    ASSERT_TRUE(system.delete_file(file));
    EXPECT_EQ(code_of(system.remove_directory(dir)), WinCode::DirNotEmpty); // "sub" is left
}

TYPED_TEST_P(SeamContract, ADirectoryRemovedWhileHeldGoesAtOnceOrAtTheLastClose) {
    System& system = this->system;
    const auto parent = this->at(u"parent");
    const auto dir = this->at(u"parent\\pending");
    const bool posix =
        this->world.removes_with_posix_semantics() && this->posix_refusal() == WinCode::Success;
    ASSERT_TRUE(system.create_directory(parent, DescriptorRef{}));
    ASSERT_TRUE(system.create_directory(dir, DescriptorRef{}));
    const std::uintptr_t holder = this->world.hold(dir, ShareMode::All);
    ASSERT_NE(holder, 0u);

    ASSERT_TRUE(system.remove_directory(dir));
    if (posix) {
        // Windows 10 1903 and later delete with POSIX semantics through RemoveDirectoryW's own
        // handle: the name goes when the call returns, though another handle is still open.
        EXPECT_EQ(this->listed(parent, u"pending"), 0u);
        EXPECT_EQ(code_of(this->open(dir, Access::ReadAttributes)), WinCode::FileNotFound);
        this->world.release(holder);
        EXPECT_EQ(code_of(system.remove_directory(parent)), WinCode::Success);
        return;
    }
    // Where the file system refuses POSIX deletion (and before Windows 10 1903), RemoveDirectoryW
    // only marks the directory for deletion on close: until the last handle goes, it is still
    // listed and its parent is not empty.
    EXPECT_EQ(this->listed(parent, u"pending"), 1u);
    EXPECT_EQ(code_of(system.remove_directory(parent)), WinCode::DirNotEmpty);
    if (this->world.refuses_delete_pending_opens()) {
        // Windows fails every open of it, by path or relative, with STATUS_DELETE_PENDING, which
        // reaches the caller as 5; making a new one of that name is such an open too. Wine 8
        // opens it as usual, and gives 183 for the new one.
        EXPECT_EQ(code_of(this->open(dir, Access::ReadAttributes)), WinCode::AccessDenied);
        EXPECT_EQ(code_of(system.remove_directory(dir)), WinCode::AccessDenied);
        EXPECT_EQ(code_of(system.create_directory(dir, DescriptorRef{})), WinCode::AccessDenied);
        auto listed = this->open(parent, Access::ListDirectory);
        ASSERT_TRUE(listed);
        EXPECT_EQ(code_of(system.open_relative(listed->ref(), u"pending", Access::ReadAttributes)),
                  WinCode::AccessDenied);
    }

    this->world.release(holder);
    EXPECT_EQ(code_of(this->open(dir, Access::ReadAttributes)), WinCode::FileNotFound);
    EXPECT_EQ(code_of(system.remove_directory(parent)), WinCode::Success);
}

TYPED_TEST_P(SeamContract, TheClassicDispositionDeletesAtTheLastClose) {
    System& system = this->system;
    const auto file = this->at(u"doomed.txt");
    ASSERT_TRUE(this->make_file(file));
    const std::uintptr_t holder = this->world.hold(file, ShareMode::All);
    ASSERT_NE(holder, 0u);
    {
        auto ours = this->open(file, Access::Delete);
        ASSERT_TRUE(ours);
        ASSERT_TRUE(system.set_disposition(ours->ref(), true));
    }
    // Ours is closed but the holder's is not: the file stays, delete-pending.
    EXPECT_EQ(this->listed(this->scratch(), u"doomed.txt"), 1u);
    if (this->world.refuses_delete_pending_opens()) {
        // STATUS_DELETE_PENDING again (see above); Wine 8 opens the file as usual.
        EXPECT_EQ(code_of(this->open(file, Access::ReadAttributes)), WinCode::AccessDenied);
        EXPECT_EQ(code_of(system.create_file(file, Access::GenericWrite, ShareMode::All,
                                             Disposition::OpenAlways, OpenFlags{})),
                  WinCode::AccessDenied);
        EXPECT_EQ(code_of(system.delete_file(file)), WinCode::AccessDenied);
    }

    this->world.release(holder);
    EXPECT_EQ(code_of(this->open(file, Access::ReadAttributes)), WinCode::FileNotFound);
}

TYPED_TEST_P(SeamContract, ThePosixDispositionFreesTheNameWhenTheDeletingHandleCloses) {
    System& system = this->system;
    if (const WinCode refused = this->posix_refusal(); refused != WinCode::Success) {
        GTEST_SKIP() << "this file system offers no POSIX deletion (" << refused << ")";
    }
    const auto file = this->at(u"read-only.txt");
    const auto dir = this->at(u"dir");
    ASSERT_TRUE(this->make_file(file));
    ASSERT_TRUE(system.create_directory(dir, DescriptorRef{}));
    {
        auto attributes = this->open(file, Access::WriteAttributes);
        ASSERT_TRUE(attributes);
        ASSERT_TRUE(system.set_attributes(attributes->ref(), FileAttributes::ReadOnly));
    }
    const std::uintptr_t file_holder = this->world.hold(file, ShareMode::All);
    const std::uintptr_t dir_holder = this->world.hold(dir, ShareMode::All);
    ASSERT_NE(file_holder, 0u);
    ASSERT_NE(dir_holder, 0u);

    auto file_handle = this->open(file, Access::Delete);
    auto dir_handle = this->open(dir, Access::Delete);
    ASSERT_TRUE(file_handle && dir_handle);
    EXPECT_TRUE(system.set_disposition_ex(
        file_handle->ref(), DispositionFlags::Delete | DispositionFlags::PosixSemantics |
                                DispositionFlags::IgnoreReadonly));
    EXPECT_TRUE(system.set_disposition_ex(dir_handle->ref(), DispositionFlags::Delete |
                                                                 DispositionFlags::PosixSemantics));
    // Delete-pending while the deleting handles are open: every open of the names, a new file of
    // that name too, fails with STATUS_DELETE_PENDING (5).
    EXPECT_EQ(code_of(this->open(file, Access::ReadAttributes)), WinCode::AccessDenied);
    EXPECT_EQ(code_of(system.create_file(file, Access::GenericWrite, ShareMode::All,
                                         Disposition::OpenAlways, OpenFlags{})),
              WinCode::AccessDenied);
    // Once they are closed, both names are free, though the holders' handles are still open.
    file_handle->reset();
    dir_handle->reset();
    EXPECT_EQ(code_of(this->open(file, Access::ReadAttributes)), WinCode::FileNotFound);
    EXPECT_EQ(code_of(this->open(dir, Access::ReadAttributes)), WinCode::FileNotFound);
    EXPECT_TRUE(this->make_file(file));
    EXPECT_TRUE(system.create_directory(dir, DescriptorRef{}));
}

TYPED_TEST_P(SeamContract, AListingLongerThanOneBatchArrivesInBatchesThenEndsWith18) {
    System& system = this->system;
    ASSERT_TRUE(system.create_directory(this->at(u"many"), DescriptorRef{}));
    // Long names, so that on Windows they overflow the adapter's 64 KiB buffer (about 470 bytes
    // an entry).
    std::vector<std::u16string> names;
    for (int i = 0; i < 200; ++i) {
        std::u16string name = u"entry-" + std::u16string(1, static_cast<char16_t>(u'a' + i / 26)) +
                              std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) + u"-";
        name.resize(200, u'x');
        ASSERT_TRUE(this->make_file(this->at(u"many\\" + name)));
        names.push_back(std::move(name));
    }
    ASSERT_TRUE(system.create_directory(this->at(u"many\\sub"), DescriptorRef{}));
    auto listed = this->open(this->at(u"many"), Access::ListDirectory);
    ASSERT_TRUE(listed);

    const Listing listing = list_all(system, listed->ref());
    EXPECT_GT(listing.batches, 1);
    EXPECT_EQ(listing.end, WinCode::NoMoreFiles);
    EXPECT_EQ(code_of(system.list_directory(listed->ref())), WinCode::NoMoreFiles);
    EXPECT_EQ(listing.entries.size(), names.size() + 3);
    for (const auto& name : names) {
        const auto found = named(listing, name);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].attributes & FileAttributes::Directory, FileAttributes{});
    }
    // A directory other than a root lists itself and its parent too, as directories.
    for (const std::u16string_view name : {u".", u"..", u"sub"}) {
        const auto found = named(listing, name);
        ASSERT_EQ(found.size(), 1u) << wtf8_from_utf16(name);
        EXPECT_NE(found[0].attributes & FileAttributes::Directory, FileAttributes{});
        EXPECT_EQ(found[0].attributes & FileAttributes::ReparsePoint, FileAttributes{});
    }
}

TYPED_TEST_P(SeamContract, OpenRelativeOpensTheObjectNamedOrFailsWith2) {
    System& system = this->system;
    ASSERT_TRUE(system.create_directory(this->at(u"d"), DescriptorRef{}));
    ASSERT_TRUE(this->make_file(this->at(u"d\\f.txt")));
    ASSERT_TRUE(system.create_directory(this->at(u"d\\sub"), DescriptorRef{}));
    // The directory opened as the tool opens the ones it secures: as itself, never a link's target.
    auto dir = system.create_file(this->at(u"d"),
                                  Access::ListDirectory | Access::ReadControl | Access::WriteDac |
                                      Access::WriteOwner,
                                  ShareMode::All, Disposition::OpenExisting,
                                  OpenFlags::BackupSemantics | OpenFlags::OpenReparsePoint);
    auto by_path = this->open(this->at(u"d\\f.txt"), Access::ReadAttributes);
    ASSERT_TRUE(dir && by_path);
    const auto dir_info = system.file_information(dir->ref());
    ASSERT_TRUE(dir_info);
    EXPECT_EQ(dir_info->attributes & (FileAttributes::Directory | FileAttributes::ReparsePoint),
              FileAttributes::Directory);
    EXPECT_EQ(system.file_type(dir->ref()), FileType::Disk);

    auto file = system.open_relative(dir->ref(), u"f.txt", Access::GenericRead);
    ASSERT_TRUE(file);
    const auto info = system.file_information(file->ref());
    const auto path_info = system.file_information(by_path->ref());
    const auto tag = system.attribute_tag(file->ref());
    ASSERT_TRUE(info && path_info && tag);
    EXPECT_EQ(info->file_index, path_info->file_index);
    EXPECT_EQ(info->volume_serial, path_info->volume_serial);
    EXPECT_EQ(info->attributes & FileAttributes::Directory, FileAttributes{});
    EXPECT_EQ(tag->attributes & (FileAttributes::Directory | FileAttributes::ReparsePoint),
              FileAttributes{});
    EXPECT_EQ(system.file_type(file->ref()), FileType::Disk);

    // NtCreateFile grants exactly what is asked: attribute queries need FILE_READ_ATTRIBUTES.
    auto listing_only = system.open_relative(dir->ref(), u"sub", Access::ListDirectory);
    ASSERT_TRUE(listing_only);
    if (this->world.checks_attribute_access()) {
        EXPECT_EQ(code_of(system.attribute_tag(listing_only->ref())), WinCode::AccessDenied);
    }
    auto sub =
        system.open_relative(dir->ref(), u"sub", Access::ListDirectory | Access::ReadAttributes);
    ASSERT_TRUE(sub);
    const auto sub_tag = system.attribute_tag(sub->ref());
    ASSERT_TRUE(sub_tag);
    EXPECT_EQ(sub_tag->attributes & (FileAttributes::Directory | FileAttributes::ReparsePoint),
              FileAttributes::Directory);
    EXPECT_EQ(system.file_type(sub->ref()), FileType::Disk);

    EXPECT_EQ(code_of(system.open_relative(dir->ref(), u"missing", Access::ReadAttributes)),
              WinCode::FileNotFound);

    // An empty name opens the handle's own object again, with the access asked for now.
    auto again = system.open_relative(sub->ref(), u"", Access::Delete | Access::ReadAttributes);
    auto sub_by_path = this->open(this->at(u"d\\sub"), Access::ReadAttributes);
    ASSERT_TRUE(again && sub_by_path);
    const auto again_info = system.file_information(again->ref());
    const auto sub_info = system.file_information(sub_by_path->ref());
    ASSERT_TRUE(again_info && sub_info);
    EXPECT_EQ(again_info->file_index, sub_info->file_index);
    EXPECT_EQ(again_info->volume_serial, sub_info->volume_serial);
}

TYPED_TEST_P(SeamContract, FailingCallsReturnTheCodeWindowsSets) {
    System& system = this->system;
    const auto dir = this->at(u"d");
    const auto file = this->at(u"f.txt");
    const auto read_only = this->at(u"read-only.txt");
    ASSERT_TRUE(system.create_directory(dir, DescriptorRef{}));
    ASSERT_TRUE(this->make_file(file));
    ASSERT_TRUE(this->make_file(read_only));
    {
        auto handle = this->open(read_only, Access::WriteAttributes);
        ASSERT_TRUE(handle);
        ASSERT_TRUE(system.set_attributes(handle->ref(), FileAttributes::ReadOnly));
    }

    EXPECT_EQ(code_of(this->open(this->at(u"absent.txt"), Access::GenericRead)),
              WinCode::FileNotFound);
    EXPECT_EQ(code_of(this->open(this->at(u"absent\\f.txt"), Access::GenericRead)),
              WinCode::PathNotFound);
    // A directory opens only with backup semantics.
    EXPECT_EQ(code_of(system.create_file(dir, Access::GenericRead, ShareMode::All,
                                         Disposition::OpenExisting, OpenFlags{})),
              WinCode::AccessDenied);

    EXPECT_EQ(code_of(system.create_directory(this->at(u"absent\\d"), DescriptorRef{})),
              WinCode::PathNotFound);
    EXPECT_EQ(code_of(system.remove_directory(this->at(u"absent"))), WinCode::FileNotFound);
    EXPECT_EQ(code_of(system.remove_directory(this->at(u"absent\\d"))), WinCode::PathNotFound);
    EXPECT_EQ(code_of(system.remove_directory(file)), WinCode::Directory);
    EXPECT_EQ(code_of(system.delete_file(this->at(u"absent.txt"))), WinCode::FileNotFound);
    EXPECT_EQ(code_of(system.delete_file(dir)), WinCode::AccessDenied);
    EXPECT_EQ(code_of(system.delete_file(read_only)), WinCode::AccessDenied);

    auto attributes_only = this->open(file, Access::ReadAttributes);
    ASSERT_TRUE(attributes_only);
    EXPECT_EQ(code_of(system.set_disposition(attributes_only->ref(), true)), WinCode::AccessDenied);
    auto read_only_handle = this->open(read_only, Access::Delete);
    ASSERT_TRUE(read_only_handle);
    EXPECT_EQ(code_of(system.set_disposition(read_only_handle->ref(), true)),
              WinCode::AccessDenied);
}

TYPED_TEST_P(SeamContract, SymbolicLinksAreOpenedAndDeletedAsThemselves) {
    System& system = this->system;
    ASSERT_TRUE(system.create_directory(this->at(u"target"), DescriptorRef{}));
    ASSERT_TRUE(this->make_file(this->at(u"target\\kept.txt")));
    if (!this->world.make_symlink(this->at(u"dir-link"), this->at(u"target"), true) ||
        !this->world.make_symlink(this->at(u"file-link"), this->at(u"target\\kept.txt"), false)) {
        GTEST_SKIP() << "this system cannot make symbolic links here";
    }
    auto scratch = this->open(this->scratch(), Access::ListDirectory);
    ASSERT_TRUE(scratch);
    EXPECT_EQ(code_of(system.open_relative(scratch->ref(), u"dir-link", TREE_ACCESS,
                                           OpenKind::NonDirectory)),
              WinCode::AccessDenied);
    for (const char16_t* name : {u"dir-link", u"file-link"}) {
        auto link = system.open_relative(scratch->ref(), name, TREE_ACCESS);
        ASSERT_TRUE(link);
        const auto tag = system.attribute_tag(link->ref());
        ASSERT_TRUE(tag);
        EXPECT_TRUE(tag->attributes.intersects(FileAttributes::ReparsePoint));
        EXPECT_EQ(tag->reparse_tag, ReparseTag::Symlink);
        EXPECT_TRUE(system.set_disposition(link->ref(), true));
    }
    EXPECT_EQ(this->listed(this->scratch(), u"dir-link"), 0u);
    EXPECT_EQ(this->listed(this->scratch(), u"file-link"), 0u);
    EXPECT_EQ(this->listed(this->at(u"target"), u"kept.txt"), 1u);
}

TYPED_TEST_P(SeamContract, AJunctionIsOpenedListedAndDeletedAsItself) {
    System& system = this->system;
    ASSERT_TRUE(system.create_directory(this->at(u"target"), DescriptorRef{}));
    ASSERT_TRUE(this->make_file(this->at(u"target\\kept.txt")));
    if (!this->world.make_junction(this->at(u"link"), this->at(u"target"))) {
        GTEST_SKIP() << "this system cannot make junctions";
    }
    const auto is_junction = [](FileAttributes attributes, ReparseTag tag) {
        return attributes.intersects(FileAttributes::ReparsePoint) && tag == ReparseTag::MountPoint;
    };

    auto scratch = this->open(this->scratch(), Access::ListDirectory);
    ASSERT_TRUE(scratch);
    const auto listed = named(list_all(system, scratch->ref()), u"link");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(is_junction(listed[0].attributes, listed[0].reparse_tag));

    // As a non-directory, a junction is refused as the directory it is
    // (STATUS_FILE_IS_A_DIRECTORY).
    EXPECT_EQ(
        code_of(system.open_relative(scratch->ref(), u"link", TREE_ACCESS, OpenKind::NonDirectory)),
        WinCode::AccessDenied);
    auto relative = system.open_relative(scratch->ref(), u"link", Access::ReadAttributes);
    ASSERT_TRUE(relative);
    const auto relative_tag = system.attribute_tag(relative->ref());
    ASSERT_TRUE(relative_tag);
    EXPECT_TRUE(is_junction(relative_tag->attributes, relative_tag->reparse_tag));

    // A path through it leads to the target; deleting it by handle takes the link alone.
    EXPECT_TRUE(this->open(this->at(u"link\\kept.txt"), Access::ReadAttributes));
    {
        auto link = system.create_file(this->at(u"link"), Access::Delete | Access::ReadAttributes,
                                       ShareMode::All, Disposition::OpenExisting,
                                       OpenFlags::BackupSemantics | OpenFlags::OpenReparsePoint);
        ASSERT_TRUE(link);
        const auto tag = system.attribute_tag(link->ref());
        ASSERT_TRUE(tag);
        EXPECT_TRUE(is_junction(tag->attributes, tag->reparse_tag));
        ASSERT_TRUE(system.set_disposition(link->ref(), true));
    }
    relative->reset();
    EXPECT_EQ(code_of(this->open(this->at(u"link"), Access::ReadAttributes)),
              WinCode::FileNotFound);
    EXPECT_TRUE(this->open(this->at(u"target\\kept.txt"), Access::ReadAttributes));
}

REGISTER_TYPED_TEST_SUITE_P(
    SeamContract, OpensThatAHeldHandleDoesNotShareFailWith32,
    SymbolicLinksAreOpenedAndDeletedAsThemselves, AZeroLengthLockMeetsTheWholeRangeUnlessItIsAtZero,
    AStringSidMayBeAnSddlAlias, TheTreeRemovalTakesATreeAndLeavesWhatItsJunctionLeadsTo,
    AnOwnersDaclIsCheckedAndOnlyTheTokensOwnersMayBeAssigned, ADaclIsPropagatedIntoExistingChildren,
    SharingCountsTraverseAsReadingAndAppendAsWriting, AWholeRangeLockMeetsALockOnAnyRangeWith33,
    CreatingADirectoryWhereANameExistsFailsWith183, ANonEmptyDirectoryStaysWith145,
    ADirectoryRemovedWhileHeldGoesAtOnceOrAtTheLastClose,
    TheClassicDispositionDeletesAtTheLastClose,
    ThePosixDispositionFreesTheNameWhenTheDeletingHandleCloses,
    AListingLongerThanOneBatchArrivesInBatchesThenEndsWith18,
    OpenRelativeOpensTheObjectNamedOrFailsWith2, FailingCallsReturnTheCodeWindowsSets,
    AJunctionIsOpenedListedAndDeletedAsItself);

} // namespace orvex::contract
