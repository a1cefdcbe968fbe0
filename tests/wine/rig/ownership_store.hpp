#pragma once
// The rig's record of NTFS ownership, which Wine does not keep: for each directory, its owner SID
// and its DACL (as SDDL), keyed by the directory's identity (volume serial and file index), so a
// record follows the object and not its path. Records live in the prefix's registry under
// HKCU\Software\OrvexRig\Ownership and so persist across processes of one Wine prefix.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace orvex::rig {

struct OwnershipRecord {
    std::wstring owner; // a SID string, "S-1-5-18"
    std::wstring dacl;  // SDDL of the DACL, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", or empty
};

// The identity key of an open handle ("serial-index"), or nothing if it cannot be read.
std::optional<std::wstring> identity_of(HANDLE handle);
// The identity key of a path, opened without following a final link.
std::optional<std::wstring> identity_of(const std::wstring& path);

std::optional<OwnershipRecord> load_record(const std::wstring& identity);
void store_record(const std::wstring& identity, const OwnershipRecord& record);
void forget_record(const std::wstring& identity);
// The identities that have a record now.
std::vector<std::wstring> recorded_identities();
void forget_all_records();

// Small observations that the shim leaves for the tests, under HKCU\Software\OrvexRig\Observed.
void store_observation(const wchar_t* name, DWORD value);
std::optional<DWORD> load_observation(const wchar_t* name);
void forget_observations();

} // namespace orvex::rig
