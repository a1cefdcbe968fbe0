#pragma once
// What both implementations of the seam must do alike: cases written once and run against each,
// natively against the in-memory model and, under Windows or Wine, against the Win32 adapter in
// a scratch directory. The other tests trust the model, so a difference found here is fixed in
// the model, never in a case.
//
// A world supplies what differs between the two:
//   System& system();
//   static std::u16string scratch();          an empty directory for the case (no NUL)
//   std::uintptr_t hold(path, share);         a handle that another process holds on an existing
//                                             file or directory, for reading and writing; 0 if
//                                             it cannot be opened
//   SysResult<void> lock_held(handle, offset, length);  that process's LockFile on it
//   void release(handle);                     that process closes it
//   bool make_junction(path, target);         false where the system cannot make links
//   bool refuses_delete_pending_opens();      false under Wine 8, which opens such objects

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/text.hpp"
#include "platform/system.hpp"
#include "platform/win32_constants.hpp"

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
    return result ? 0 : result.error();
}

struct Listing {
    std::vector<FindData> entries;
    int batches = 0;
    WinCode end = 0; // the code that ended the listing
};

// Every batch until the call fails; bounded, so that a listing that never ends fails the case
// rather than hanging it.
inline Listing list_all(System& system, std::uintptr_t directory) {
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
    SysResult<UniqueHandle> open(const std::u16string& path, std::uint32_t access,
                                 std::uint32_t share = win::FILE_SHARE_ALL) {
        return system.create_file(path, access, share, win::OPEN_EXISTING,
                                  win::FILE_FLAG_BACKUP_SEMANTICS);
    }
    bool make_file(const std::u16string& path) {
        return system
            .create_file(path, win::GENERIC_WRITE, win::FILE_SHARE_ALL, win::OPEN_ALWAYS, 0)
            .has_value();
    }
    // How many entries named `name` a listing of `directory` shows.
    std::size_t listed(const std::u16string& directory, std::u16string_view name) {
        auto handle = open(directory, win::FILE_LIST_DIRECTORY);
        if (!handle) {
            ADD_FAILURE() << "cannot list: " << handle.error();
            return 0;
        }
        return named(list_all(system, handle->get()), name).size();
    }
    SysResult<void> lock_whole(std::uintptr_t handle) {
        constexpr std::uint32_t ALL = std::numeric_limits<std::uint32_t>::max();
        return system.lock_file(handle, 0, 0, ALL, ALL);
    }
    // 0 where the file system deletes with POSIX semantics, else the code that refuses them (on
    // Wine 8 every FileDispositionInfoEx call, on Windows file systems other than NTFS).
    WinCode posix_refusal() {
        const auto probe = at(u"posix-probe");
        if (!make_file(probe)) {
            ADD_FAILURE() << "cannot create the probe file";
            return win::ERROR_INVALID_FUNCTION;
        }
        auto handle = open(probe, win::DELETE);
        if (!handle) {
            ADD_FAILURE() << "cannot open the probe file: " << handle.error();
            return handle.error();
        }
        const WinCode refused = code_of(system.set_disposition_ex(
            handle->get(),
            win::FILE_DISPOSITION_FLAG_DELETE | win::FILE_DISPOSITION_FLAG_POSIX_SEMANTICS));
        handle->reset();
        if (refused != 0) {
            EXPECT_TRUE(system.delete_file(probe));
        }
        return refused;
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
    ASSERT_TRUE(system.create_directory(dir, nullptr));

    const std::uintptr_t exclusive = this->world.hold(file, 0);
    ASSERT_NE(exclusive, 0u);
    EXPECT_EQ(code_of(this->open(file, win::GENERIC_READ)), win::ERROR_SHARING_VIOLATION);
    EXPECT_EQ(code_of(system.delete_file(file)), win::ERROR_SHARING_VIOLATION);
    // Sharing governs reading, writing and deleting: an open for attributes only is not refused,
    // and when it shares nothing it refuses nobody.
    auto attributes_only = this->open(file, win::FILE_READ_ATTRIBUTES, 0);
    ASSERT_TRUE(attributes_only);
    this->world.release(exclusive);
    EXPECT_EQ(code_of(this->open(file, win::GENERIC_READ | win::GENERIC_WRITE)), 0u);
    attributes_only->reset();

    // Each side must share what the other's handle may do: the holder reads and writes, and
    // shares reading only.
    const std::uintptr_t reading = this->world.hold(file, win::FILE_SHARE_READ);
    ASSERT_NE(reading, 0u);
    EXPECT_EQ(code_of(this->open(file, win::GENERIC_READ)), 0u);
    EXPECT_EQ(code_of(this->open(file, win::GENERIC_WRITE)), win::ERROR_SHARING_VIOLATION);
    EXPECT_EQ(code_of(this->open(file, win::GENERIC_READ, win::FILE_SHARE_READ)),
              win::ERROR_SHARING_VIOLATION);
    this->world.release(reading);

    const std::uintptr_t undeletable =
        this->world.hold(dir, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE);
    ASSERT_NE(undeletable, 0u);
    EXPECT_EQ(code_of(system.remove_directory(dir)), win::ERROR_SHARING_VIOLATION);
    EXPECT_EQ(code_of(this->open(dir, win::DELETE)), win::ERROR_SHARING_VIOLATION);
    this->world.release(undeletable);
    EXPECT_EQ(code_of(system.remove_directory(dir)), 0u);
}

TYPED_TEST_P(SeamContract, AWholeRangeLockMeetsALockOnAnyRangeWith33) {
    const auto file = this->at(u"gate.lock");
    ASSERT_TRUE(this->make_file(file));
    auto ours = this->open(file, win::GENERIC_READ | win::GENERIC_WRITE);
    ASSERT_TRUE(ours);

    const std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges{
        {0, 1}, {10, 10}, {std::uint64_t{1} << 40, 1}};
    for (const auto& [offset, length] : ranges) {
        SCOPED_TRACE(offset);
        const std::uintptr_t holder = this->world.hold(file, win::FILE_SHARE_ALL);
        ASSERT_NE(holder, 0u);
        ASSERT_TRUE(this->world.lock_held(holder, offset, length));
        EXPECT_EQ(code_of(this->lock_whole(ours->get())), win::ERROR_LOCK_VIOLATION);
        this->world.release(holder); // its locks go with the handle
    }

    ASSERT_TRUE(this->lock_whole(ours->get()));
    // Exclusive locks exclude each other even through the handle that holds them.
    EXPECT_EQ(code_of(this->lock_whole(ours->get())), win::ERROR_LOCK_VIOLATION);
    const std::uintptr_t holder = this->world.hold(file, win::FILE_SHARE_ALL);
    ASSERT_NE(holder, 0u);
    for (const auto& [offset, length] : ranges) {
        EXPECT_EQ(code_of(this->world.lock_held(holder, offset, 1)), win::ERROR_LOCK_VIOLATION)
            << offset;
    }
}

TYPED_TEST_P(SeamContract, CreatingADirectoryWhereANameExistsFailsWith183) {
    System& system = this->system;
    const auto dir = this->at(u"d");
    const auto file = this->at(u"f.txt");
    ASSERT_TRUE(system.create_directory(dir, nullptr));
    ASSERT_TRUE(this->make_file(file));
    EXPECT_EQ(code_of(system.create_directory(dir, nullptr)), win::ERROR_ALREADY_EXISTS);
    EXPECT_EQ(code_of(system.create_directory(file, nullptr)), win::ERROR_ALREADY_EXISTS);
}

TYPED_TEST_P(SeamContract, ANonEmptyDirectoryStaysWith145) {
    System& system = this->system;
    const WinCode posix_refused = this->posix_refusal();
    const auto dir = this->at(u"full");
    const auto file = this->at(u"full\\f.txt");
    ASSERT_TRUE(system.create_directory(dir, nullptr));
    ASSERT_TRUE(this->make_file(file));
    ASSERT_TRUE(system.create_directory(this->at(u"full\\sub"), nullptr));

    EXPECT_EQ(code_of(system.remove_directory(dir)), win::ERROR_DIR_NOT_EMPTY);
    {
        auto handle = this->open(dir, win::DELETE);
        ASSERT_TRUE(handle);
        EXPECT_EQ(code_of(system.set_disposition(handle->get(), true)), win::ERROR_DIR_NOT_EMPTY);
        EXPECT_EQ(code_of(system.set_disposition_ex(
                      handle->get(), win::FILE_DISPOSITION_FLAG_DELETE |
                                         win::FILE_DISPOSITION_FLAG_POSIX_SEMANTICS)),
                  posix_refused != 0 ? posix_refused : win::ERROR_DIR_NOT_EMPTY);
    }
    EXPECT_TRUE(this->open(file, win::FILE_READ_ATTRIBUTES)); // none of it went
    ASSERT_TRUE(system.delete_file(file));
    EXPECT_EQ(code_of(system.remove_directory(dir)), win::ERROR_DIR_NOT_EMPTY); // "sub" is left
}

TYPED_TEST_P(SeamContract, ADirectoryRemovedWhileHeldIsDeletePendingUntilTheLastClose) {
    System& system = this->system;
    const auto parent = this->at(u"parent");
    const auto dir = this->at(u"parent\\pending");
    ASSERT_TRUE(system.create_directory(parent, nullptr));
    ASSERT_TRUE(system.create_directory(dir, nullptr));
    const std::uintptr_t holder = this->world.hold(dir, win::FILE_SHARE_ALL);
    ASSERT_NE(holder, 0u);

    // RemoveDirectoryW only marks the directory for deletion on close: until the last handle
    // goes, it is still listed and its parent is not empty.
    ASSERT_TRUE(system.remove_directory(dir));
    EXPECT_EQ(this->listed(parent, u"pending"), 1u);
    EXPECT_EQ(code_of(system.remove_directory(parent)), win::ERROR_DIR_NOT_EMPTY);
    if (this->world.refuses_delete_pending_opens()) {
        // Windows fails every open of it, by path or relative, with STATUS_DELETE_PENDING, which
        // reaches the caller as 5; making a new one of that name is such an open too. Wine 8
        // opens it as usual, and gives 183 for the new one.
        EXPECT_EQ(code_of(this->open(dir, win::FILE_READ_ATTRIBUTES)), win::ERROR_ACCESS_DENIED);
        EXPECT_EQ(code_of(system.remove_directory(dir)), win::ERROR_ACCESS_DENIED);
        EXPECT_EQ(code_of(system.create_directory(dir, nullptr)), win::ERROR_ACCESS_DENIED);
        auto listed = this->open(parent, win::FILE_LIST_DIRECTORY);
        ASSERT_TRUE(listed);
        EXPECT_EQ(
            code_of(system.open_relative(listed->get(), u"pending", win::FILE_READ_ATTRIBUTES)),
            win::ERROR_ACCESS_DENIED);
    }

    this->world.release(holder);
    EXPECT_EQ(code_of(this->open(dir, win::FILE_READ_ATTRIBUTES)), win::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(code_of(system.remove_directory(parent)), 0u);
}

TYPED_TEST_P(SeamContract, TheClassicDispositionDeletesAtTheLastClose) {
    System& system = this->system;
    const auto file = this->at(u"doomed.txt");
    ASSERT_TRUE(this->make_file(file));
    const std::uintptr_t holder = this->world.hold(file, win::FILE_SHARE_ALL);
    ASSERT_NE(holder, 0u);
    {
        auto ours = this->open(file, win::DELETE);
        ASSERT_TRUE(ours);
        ASSERT_TRUE(system.set_disposition(ours->get(), true));
    }
    // Ours is closed but the holder's is not: the file stays, delete-pending.
    EXPECT_EQ(this->listed(this->scratch(), u"doomed.txt"), 1u);
    if (this->world.refuses_delete_pending_opens()) {
        // STATUS_DELETE_PENDING again (see above); Wine 8 opens the file as usual.
        EXPECT_EQ(code_of(this->open(file, win::FILE_READ_ATTRIBUTES)), win::ERROR_ACCESS_DENIED);
        EXPECT_EQ(code_of(system.create_file(file, win::GENERIC_WRITE, win::FILE_SHARE_ALL,
                                             win::OPEN_ALWAYS, 0)),
                  win::ERROR_ACCESS_DENIED);
        EXPECT_EQ(code_of(system.delete_file(file)), win::ERROR_ACCESS_DENIED);
    }

    this->world.release(holder);
    EXPECT_EQ(code_of(this->open(file, win::FILE_READ_ATTRIBUTES)), win::ERROR_FILE_NOT_FOUND);
}

TYPED_TEST_P(SeamContract, ThePosixDispositionFreesTheNameAtOnce) {
    System& system = this->system;
    if (const WinCode refused = this->posix_refusal(); refused != 0) {
        GTEST_SKIP() << "this file system offers no POSIX deletion (" << refused << ")";
    }
    const auto file = this->at(u"read-only.txt");
    const auto dir = this->at(u"dir");
    ASSERT_TRUE(this->make_file(file));
    ASSERT_TRUE(system.create_directory(dir, nullptr));
    {
        auto attributes = this->open(file, win::FILE_WRITE_ATTRIBUTES);
        ASSERT_TRUE(attributes);
        ASSERT_TRUE(system.set_attributes(attributes->get(), win::FILE_ATTRIBUTE_READONLY));
    }
    const std::uintptr_t file_holder = this->world.hold(file, win::FILE_SHARE_ALL);
    const std::uintptr_t dir_holder = this->world.hold(dir, win::FILE_SHARE_ALL);
    ASSERT_NE(file_holder, 0u);
    ASSERT_NE(dir_holder, 0u);

    auto file_handle = this->open(file, win::DELETE);
    auto dir_handle = this->open(dir, win::DELETE);
    ASSERT_TRUE(file_handle && dir_handle);
    EXPECT_TRUE(system.set_disposition_ex(
        file_handle->get(), win::FILE_DISPOSITION_FLAG_DELETE |
                                win::FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                win::FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE));
    EXPECT_TRUE(system.set_disposition_ex(dir_handle->get(),
                                          win::FILE_DISPOSITION_FLAG_DELETE |
                                              win::FILE_DISPOSITION_FLAG_POSIX_SEMANTICS));
    // Both names are free while every handle is still open.
    EXPECT_EQ(code_of(this->open(file, win::FILE_READ_ATTRIBUTES)), win::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(code_of(this->open(dir, win::FILE_READ_ATTRIBUTES)), win::ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(this->make_file(file));
    EXPECT_TRUE(system.create_directory(dir, nullptr));
}

TYPED_TEST_P(SeamContract, AListingLongerThanOneBatchArrivesInBatchesThenEndsWith18) {
    System& system = this->system;
    ASSERT_TRUE(system.create_directory(this->at(u"many"), nullptr));
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
    ASSERT_TRUE(system.create_directory(this->at(u"many\\sub"), nullptr));
    auto listed = this->open(this->at(u"many"), win::FILE_LIST_DIRECTORY);
    ASSERT_TRUE(listed);

    const Listing listing = list_all(system, listed->get());
    EXPECT_GT(listing.batches, 1);
    EXPECT_EQ(listing.end, win::ERROR_NO_MORE_FILES);
    EXPECT_EQ(code_of(system.list_directory(listed->get())), win::ERROR_NO_MORE_FILES);
    EXPECT_EQ(listing.entries.size(), names.size() + 3);
    for (const auto& name : names) {
        const auto found = named(listing, name);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].attributes & win::FILE_ATTRIBUTE_DIRECTORY, 0u);
    }
    // A directory other than a root lists itself and its parent too, as directories.
    for (const std::u16string_view name : {u".", u"..", u"sub"}) {
        const auto found = named(listing, name);
        ASSERT_EQ(found.size(), 1u) << wtf8_from_utf16(name);
        EXPECT_NE(found[0].attributes & win::FILE_ATTRIBUTE_DIRECTORY, 0u);
        EXPECT_EQ(found[0].attributes & win::FILE_ATTRIBUTE_REPARSE_POINT, 0u);
    }
}

TYPED_TEST_P(SeamContract, OpenRelativeOpensTheObjectNamedOrFailsWith2) {
    System& system = this->system;
    ASSERT_TRUE(system.create_directory(this->at(u"d"), nullptr));
    ASSERT_TRUE(this->make_file(this->at(u"d\\f.txt")));
    ASSERT_TRUE(system.create_directory(this->at(u"d\\sub"), nullptr));
    // The directory opened as the tool opens the ones it secures: as itself, never a link's target.
    auto dir = system.create_file(
        this->at(u"d"),
        win::FILE_LIST_DIRECTORY | win::READ_CONTROL | win::WRITE_DAC | win::WRITE_OWNER,
        win::FILE_SHARE_ALL, win::OPEN_EXISTING,
        win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT);
    auto by_path = this->open(this->at(u"d\\f.txt"), win::FILE_READ_ATTRIBUTES);
    ASSERT_TRUE(dir && by_path);
    const auto dir_info = system.file_information(dir->get());
    ASSERT_TRUE(dir_info);
    EXPECT_EQ(dir_info->attributes &
                  (win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_REPARSE_POINT),
              win::FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(system.file_type(dir->get()), win::FILE_TYPE_DISK);

    auto file = system.open_relative(dir->get(), u"f.txt", win::GENERIC_READ);
    ASSERT_TRUE(file);
    const auto info = system.file_information(file->get());
    const auto path_info = system.file_information(by_path->get());
    const auto tag = system.attribute_tag(file->get());
    ASSERT_TRUE(info && path_info && tag);
    EXPECT_EQ(info->file_index, path_info->file_index);
    EXPECT_EQ(info->volume_serial, path_info->volume_serial);
    EXPECT_EQ(info->attributes & win::FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(tag->attributes & (win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_REPARSE_POINT),
              0u);
    EXPECT_EQ(system.file_type(file->get()), win::FILE_TYPE_DISK);

    auto sub = system.open_relative(dir->get(), u"sub", win::FILE_LIST_DIRECTORY);
    ASSERT_TRUE(sub);
    const auto sub_tag = system.attribute_tag(sub->get());
    ASSERT_TRUE(sub_tag);
    EXPECT_EQ(sub_tag->attributes &
                  (win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_REPARSE_POINT),
              win::FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(system.file_type(sub->get()), win::FILE_TYPE_DISK);

    EXPECT_EQ(code_of(system.open_relative(dir->get(), u"missing", win::FILE_READ_ATTRIBUTES)),
              win::ERROR_FILE_NOT_FOUND);
}

TYPED_TEST_P(SeamContract, FailingCallsReturnTheCodeWindowsSets) {
    System& system = this->system;
    const auto dir = this->at(u"d");
    const auto file = this->at(u"f.txt");
    const auto read_only = this->at(u"read-only.txt");
    ASSERT_TRUE(system.create_directory(dir, nullptr));
    ASSERT_TRUE(this->make_file(file));
    ASSERT_TRUE(this->make_file(read_only));
    {
        auto handle = this->open(read_only, win::FILE_WRITE_ATTRIBUTES);
        ASSERT_TRUE(handle);
        ASSERT_TRUE(system.set_attributes(handle->get(), win::FILE_ATTRIBUTE_READONLY));
    }

    EXPECT_EQ(code_of(this->open(this->at(u"absent.txt"), win::GENERIC_READ)),
              win::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(code_of(this->open(this->at(u"absent\\f.txt"), win::GENERIC_READ)),
              win::ERROR_PATH_NOT_FOUND);
    // A directory opens only with backup semantics.
    EXPECT_EQ(code_of(system.create_file(dir, win::GENERIC_READ, win::FILE_SHARE_ALL,
                                         win::OPEN_EXISTING, 0)),
              win::ERROR_ACCESS_DENIED);

    EXPECT_EQ(code_of(system.create_directory(this->at(u"absent\\d"), nullptr)),
              win::ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(code_of(system.remove_directory(this->at(u"absent"))), win::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(code_of(system.remove_directory(this->at(u"absent\\d"))), win::ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(code_of(system.remove_directory(file)), win::ERROR_DIRECTORY);
    EXPECT_EQ(code_of(system.delete_file(this->at(u"absent.txt"))), win::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(code_of(system.delete_file(dir)), win::ERROR_ACCESS_DENIED);
    EXPECT_EQ(code_of(system.delete_file(read_only)), win::ERROR_ACCESS_DENIED);

    auto attributes_only = this->open(file, win::FILE_READ_ATTRIBUTES);
    ASSERT_TRUE(attributes_only);
    EXPECT_EQ(code_of(system.set_disposition(attributes_only->get(), true)),
              win::ERROR_ACCESS_DENIED);
    auto read_only_handle = this->open(read_only, win::DELETE);
    ASSERT_TRUE(read_only_handle);
    EXPECT_EQ(code_of(system.set_disposition(read_only_handle->get(), true)),
              win::ERROR_ACCESS_DENIED);
}

TYPED_TEST_P(SeamContract, AJunctionIsOpenedListedAndDeletedAsItself) {
    System& system = this->system;
    ASSERT_TRUE(system.create_directory(this->at(u"target"), nullptr));
    ASSERT_TRUE(this->make_file(this->at(u"target\\kept.txt")));
    if (!this->world.make_junction(this->at(u"link"), this->at(u"target"))) {
        GTEST_SKIP() << "this system cannot make junctions";
    }
    const auto is_junction = [](std::uint32_t attributes, std::uint32_t tag) {
        return (attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
               tag == win::IO_REPARSE_TAG_MOUNT_POINT;
    };

    auto scratch = this->open(this->scratch(), win::FILE_LIST_DIRECTORY);
    ASSERT_TRUE(scratch);
    const auto listed = named(list_all(system, scratch->get()), u"link");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(is_junction(listed[0].attributes, listed[0].reparse_tag));

    auto relative = system.open_relative(scratch->get(), u"link", win::FILE_READ_ATTRIBUTES);
    ASSERT_TRUE(relative);
    const auto relative_tag = system.attribute_tag(relative->get());
    ASSERT_TRUE(relative_tag);
    EXPECT_TRUE(is_junction(relative_tag->attributes, relative_tag->reparse_tag));

    // A path through it leads to the target; deleting it by handle takes the link alone.
    EXPECT_TRUE(this->open(this->at(u"link\\kept.txt"), win::FILE_READ_ATTRIBUTES));
    {
        auto link =
            system.create_file(this->at(u"link"), win::DELETE | win::FILE_READ_ATTRIBUTES,
                               win::FILE_SHARE_ALL, win::OPEN_EXISTING,
                               win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT);
        ASSERT_TRUE(link);
        const auto tag = system.attribute_tag(link->get());
        ASSERT_TRUE(tag);
        EXPECT_TRUE(is_junction(tag->attributes, tag->reparse_tag));
        ASSERT_TRUE(system.set_disposition(link->get(), true));
    }
    relative->reset();
    EXPECT_EQ(code_of(this->open(this->at(u"link"), win::FILE_READ_ATTRIBUTES)),
              win::ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(this->open(this->at(u"target\\kept.txt"), win::FILE_READ_ATTRIBUTES));
}

REGISTER_TYPED_TEST_SUITE_P(
    SeamContract, OpensThatAHeldHandleDoesNotShareFailWith32,
    AWholeRangeLockMeetsALockOnAnyRangeWith33, CreatingADirectoryWhereANameExistsFailsWith183,
    ANonEmptyDirectoryStaysWith145, ADirectoryRemovedWhileHeldIsDeletePendingUntilTheLastClose,
    TheClassicDispositionDeletesAtTheLastClose, ThePosixDispositionFreesTheNameAtOnce,
    AListingLongerThanOneBatchArrivesInBatchesThenEndsWith18,
    OpenRelativeOpensTheObjectNamedOrFailsWith2, FailingCallsReturnTheCodeWindowsSets,
    AJunctionIsOpenedListedAndDeletedAsItself);

} // namespace orvex::contract
