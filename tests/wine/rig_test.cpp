// End-to-end tests of the unmodified orvex-uninstall.exe under Wine, through the rig: real SCM,
// real files and locks, a real stand-in service; only file ownership is emulated (see the shim).
#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <chrono>
#include <thread>

#include "wine/rig/exit_signal.hpp"
#include "wine/rig/scenario.hpp"

namespace orvex::rig {
namespace {

const std::string SUCCESS_LINE =
    "Service uninstalled successfully. Resource cleanup warnings can be ignored.\n";

class Rig : public ::testing::Test {
  protected:
    void SetUp() override { reset_world(); }
    void TearDown() override { reset_world(); }
};

// ---- Directory security ----

TEST_F(Rig, EmptyForeignOwnedServiceDirectoryIsReclaimedAndSecured) {
    make_directory(SERVICE_DIR, FOREIGN_USER);
    const auto result = run_tool(L"");
    // Nothing is installed, so the run ends at the service; the directories were secured first.
    EXPECT_EQ(result.err, "Error: IO error in winapi call\n\nCaused by:\n"
                          "    Service does not exist. (os error 1060)\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 1u);
    const auto record = record_of(SERVICE_DIR);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->owner, ADMINISTRATORS);
    EXPECT_EQ(record->dacl, PROTECTED_DACL);
    EXPECT_EQ(record_of(BIN_DIR)->owner, ADMINISTRATORS);
    EXPECT_TRUE(exists(GATE_FILE));
}

TEST_F(Rig, NonEmptyForeignOwnedServiceDirectoryIsRefusedAndKept) {
    make_directory(SERVICE_DIR, FOREIGN_USER);
    write_file(SERVICE_DIR + L"\\planted.dll", "MZ");
    const auto result = run_tool(L"");
    EXPECT_EQ(result.err,
              "Error: service install path \"C:\\\\ProgramData\\\\orvex-service\" has an "
              "unexpected owner and is not an empty directory that can be safely reclaimed\n\n"
              "Caused by:\n    Directory is not empty. (os error 145)\n");
    EXPECT_EQ(result.status, 1u);
    EXPECT_TRUE(exists(SERVICE_DIR + L"\\planted.dll"));
    EXPECT_EQ(record_of(SERVICE_DIR)->owner, FOREIGN_USER);
}

TEST_F(Rig, BinThatIsARegularFileIsNotAnOrdinaryDirectory) {
    make_directory(SERVICE_DIR, ADMINISTRATORS);
    write_file(BIN_DIR, "not a directory");
    const auto result = run_tool(L"");
    EXPECT_EQ(result.err, "Error: service directory "
                          "\"C:\\\\ProgramData\\\\orvex-service\\\\bin\" is not an ordinary "
                          "directory\n");
    EXPECT_EQ(result.status, 1u);
}

TEST_F(Rig, BusyRepairGateEndsWithStatus75AndLeavesTheServiceRunning) {
    install_service(L"--stop=prompt");
    ASSERT_EQ(service_state(), static_cast<DWORD>(SERVICE_RUNNING));
    testing::LockHolder repair(GATE_FILE, false);
    ASSERT_TRUE(repair.ready());
    const auto result = run_tool(L"");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Service repair is already in progress\n");
    EXPECT_EQ(result.status, 75u);
    EXPECT_EQ(service_state(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(exists(SERVICE_EXE));
}

// ---- Hardening ----

TEST_F(Rig, DllSearchIsRestrictedToSystem32BeforeAnythingElse) {
    forget_observations();
    make_directory(SERVICE_DIR, FOREIGN_USER);
    (void)run_tool(L"");
    EXPECT_EQ(load_observation(L"DllSearchRestrictedFirst"), std::optional<DWORD>(1));
    EXPECT_EQ(load_observation(L"DllSearchFlags"), std::optional<DWORD>(0x800));
}

// ---- Service removal ----

void expect_uninstalled(const testing::ProcessResult& result) {
    EXPECT_EQ(result.out, SUCCESS_LINE);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0u);
    EXPECT_EQ(service_state(), 0u);
    EXPECT_FALSE(exists(SERVICE_EXE));
    // The gate file stays, empty and unlocked.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(GATE_FILE.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, 0u);
    HANDLE gate = CreateFileW(GATE_FILE.c_str(), GENERIC_READ | GENERIC_WRITE, 7, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(gate, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(LockFile(gate, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF));
    CloseHandle(gate);
}

TEST_F(Rig, RunningServiceIsUninstalled) {
    install_service(L"--stop=delay:300");
    ASSERT_EQ(service_state(), static_cast<DWORD>(SERVICE_RUNNING));
    expect_uninstalled(run_tool(L" --ignored-option"));
}

TEST_F(Rig, StoppedServiceIsUninstalled) {
    install_service(L"--stop=prompt", false);
    ASSERT_EQ(service_state(), static_cast<DWORD>(SERVICE_STOPPED));
    expect_uninstalled(run_tool(L""));
}

TEST_F(Rig, MissingServiceIsAFailureAndTheExecutableStays) {
    make_directory(SERVICE_DIR, ADMINISTRATORS);
    make_directory(BIN_DIR, ADMINISTRATORS);
    write_file(SERVICE_EXE, "MZ");
    const auto result = run_tool(L"");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error: IO error in winapi call\n\nCaused by:\n"
                          "    Service does not exist. (os error 1060)\n");
    EXPECT_EQ(result.status, 1u);
    EXPECT_TRUE(exists(SERVICE_EXE));
}

TEST_F(Rig, ServiceThatRefusesTheStopControlIsReported) {
    install_service(L"--stop=refuse");
    const auto result = run_tool(L"");
    EXPECT_EQ(result.err, "Error: IO error in winapi call\n\nCaused by:\n"
                          "    Invalid service control. (os error 1052)\n");
    EXPECT_EQ(result.status, 1u);
    EXPECT_EQ(service_state(), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(Rig, ReadOnlyExecutableIsRemovedUnderWine) {
    install_service(L"--stop=prompt", false);
    SetFileAttributesW(SERVICE_EXE.c_str(), FILE_ATTRIBUTE_READONLY);
    const auto result = run_tool(L"");
    // Wine 8 refuses FileDispositionInfoEx (87): the held executable's read-only attribute is
    // cleared, and the classic disposition deletes it when the tool closes its handle.
    EXPECT_EQ(result.out, "Service uninstalled successfully. Resource cleanup warnings can be "
                          "ignored.\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0u);
    EXPECT_EQ(service_state(), 0u);
    EXPECT_FALSE(exists(SERVICE_EXE));
}

// Kills the running tool, with status 0, once it holds the repair gate.
void kill_tool_holding_the_gate() {
    for (int attempt = 0; attempt < 400; ++attempt, Sleep(25)) {
        HANDLE gate = CreateFileW(GATE_FILE.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        const bool held = gate != INVALID_HANDLE_VALUE && !LockFile(gate, 0, 0, 1, 0);
        CloseHandle(gate);
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof(entry);
        for (BOOL more = held && Process32FirstW(snapshot, &entry); more;
             more = Process32NextW(snapshot, &entry)) {
            if (lstrcmpiW(entry.szExeFile, L"orvex-uninstall.exe") == 0) {
                HANDLE tool = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
                TerminateProcess(tool, 0);
                CloseHandle(tool);
                CloseHandle(snapshot);
                return;
            }
        }
        CloseHandle(snapshot);
    }
}

TEST_F(Rig, AToolThatIsKilledIsReportedAsKilledNotAsItsStatus) {
    install_service(L"--stop=ignore"); // the tool then waits for the stop
    std::thread killer(kill_tool_holding_the_gate);
    const auto result = run_tool(L"");
    killer.join();
    EXPECT_EQ(result.status, KILLED_STATUS);
    EXPECT_EQ(result.out, "");
}

TEST_F(Rig, ServiceThatIgnoresStopTimesOutAfterTwentySeconds) {
    install_service(L"--stop=ignore");
    const auto started = std::chrono::steady_clock::now();
    const auto result = run_tool(L"");
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error: timed out waiting for service to stop\n");
    EXPECT_EQ(result.status, 1u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(19900)); // the mandated pauses, not a timing test
    EXPECT_TRUE(exists(SERVICE_EXE));
}

// ---- Stale-owner maintenance ----

std::wstring key_of(const std::string& sid) {
    const std::string key = windows_owner_key(sid);
    return std::wstring(key.begin(), key.end());
}

const std::string DEAD_SID = "S-1-5-21-1111111111-2222222222-3333333333-1001";

TEST_F(Rig, MaintenanceRemovesStaleOwnersAndMigratesTheRuntimeDirectory) {
    make_directory(SERVICE_DIR, ADMINISTRATORS);
    make_directory(RUNTIME_DIR, ADMINISTRATORS); // the legacy owner
    make_directory(USERS_DIR, LOCAL_SYSTEM);
    add_owner_directory("1000", R"({"Unix":{"uid":1000,"gid":1000}})");
    add_owner_directory(windows_owner_key(DEAD_SID),
                        R"({"Windows":{"sid":")" + DEAD_SID + R"("}})");
    add_owner_directory(windows_owner_key("S-1-5-18"), R"({"Windows":["S-1-5-18"]})");
    write_file(SERVICE_DIR + L"\\active-owner.json",
               R"({"owner_key":")" + windows_owner_key(DEAD_SID) +
                   R"(","identity":{"Windows":{"sid":")" + DEAD_SID +
                   R"("}},"app_data_root":"C:\\Users\\gone","generation":3})");

    const auto result = run_tool(L" --cleanup-stale-owners");
    EXPECT_EQ(result.out, "Removed 2 stale owner state directories\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0u);
    EXPECT_FALSE(exists(USERS_DIR + L"\\1000"));
    EXPECT_FALSE(exists(USERS_DIR + L"\\" + key_of(DEAD_SID)));
    EXPECT_TRUE(exists(USERS_DIR + L"\\" + key_of("S-1-5-18") + L"\\state\\settings.dat"));
    EXPECT_FALSE(exists(SERVICE_DIR + L"\\active-owner.json"));
    EXPECT_TRUE(exists(OWNER_LOCK_FILE));
    const auto runtime = record_of(RUNTIME_DIR);
    ASSERT_TRUE(runtime);
    EXPECT_EQ(runtime->owner, LOCAL_SYSTEM);
    EXPECT_EQ(runtime->dacl, PROTECTED_DACL);
}

TEST_F(Rig, MaintenanceIsRefusedWhileTheServiceHoldsTheOwnerLock) {
    install_service(L"--stop=prompt --hold-owner-lock", false);
    make_directory(RUNTIME_DIR, LOCAL_SYSTEM);
    make_directory(USERS_DIR, LOCAL_SYSTEM);
    add_owner_directory("1000", R"({"Unix":[1000,1000]})");
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"orvex_vpn_service", SERVICE_START);
    StartServiceW(service, 0, nullptr);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    for (int i = 0; i < 200 && service_state() != SERVICE_RUNNING; ++i) {
        Sleep(25);
    }
    const auto result = run_tool(L" --cleanup-stale-owners");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error: service owner lock is held; stop the service before stale-owner "
                          "maintenance\n\nCaused by:\n    Lock violation. (os error 33)\n");
    EXPECT_EQ(result.status, 1u);
    EXPECT_TRUE(exists(USERS_DIR + L"\\1000\\state\\settings.dat"));
}

TEST_F(Rig, CorruptOwnerMetadataIsReportedWithItsPosition) {
    make_directory(SERVICE_DIR, ADMINISTRATORS);
    make_directory(RUNTIME_DIR, LOCAL_SYSTEM);
    make_directory(USERS_DIR, LOCAL_SYSTEM);
    add_owner_directory("1000", "{\"Unix\":\n  [1000, 1000.5]}");
    const auto result = run_tool(L" --cleanup-stale-owners");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "Error: failed to parse Windows owner metadata\n\nCaused by:\n"
              "    invalid type: floating point `1000.5`, expected u32 at line 2 column "
              "15\n");
    EXPECT_EQ(result.status, 1u);
    EXPECT_TRUE(exists(USERS_DIR + L"\\1000"));
}

} // namespace
} // namespace orvex::rig
