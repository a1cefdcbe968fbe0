#include "service/service_control.hpp"

#include "support.hpp"

namespace orvex {
namespace {

using testing::expect_nothing_leaked;

ServiceStatus status(std::uint32_t type, std::uint32_t state, std::uint32_t accepted,
                     std::uint32_t win32_exit, std::uint32_t specific_exit,
                     std::uint32_t wait_hint) {
    return ServiceStatus{type, state, accepted, win32_exit, specific_exit, 7, wait_hint};
}

std::string chain_text(const ServiceError& error) {
    MemorySystem system;
    return render_error_report(system, error.into_chain());
}

TEST(ServiceStatus, DecodesMasksExitCodesAndWaitHint) {
    auto record = decode_service_status(status(0x210, 4, 0x801, 1066, 42, 2500));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->service_type, 0x10u);
    EXPECT_EQ(record->current_state, ServiceRunState::Running);
    EXPECT_EQ(record->controls_accepted, 0x1u);
    EXPECT_EQ(record->exit_code, (ServiceExitCode{ServiceExitCode::Kind::ServiceSpecific, 42}));
    EXPECT_EQ(record->checkpoint, 7u);
    EXPECT_EQ(record->wait_hint, std::chrono::milliseconds(2500));

    record = decode_service_status(status(0x173, 1, 0x7ff, 5, 42, 0));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->service_type, 0x173u);
    EXPECT_EQ(record->controls_accepted, 0x7ffu);
    EXPECT_EQ(record->exit_code, (ServiceExitCode{ServiceExitCode::Kind::Win32, 5}));
}

TEST(ServiceStatus, StatesOutsideOneToSevenAreParseErrors) {
    for (const std::uint32_t state : {0u, 8u, 0xFFFFFFFFu}) {
        auto record = decode_service_status(status(0x10, state, 0, 0, 0, 0));
        ASSERT_FALSE(record);
        EXPECT_EQ(chain_text(record.error()),
                  "Error: invalid service status value\n\nCaused by:\n    invalid unsigned integer "
                  "for the target type: " +
                      std::to_string(state) + "\n");
    }
}

TEST(ServiceError, EveryKindHasItsFixedText) {
    EXPECT_EQ(chain_text(ServiceError::winapi(WinCode{1060})),
              "Error: IO error in winapi call\n\nCaused by:\n"
              "    Service does not exist. (os error 1060)\n");
    EXPECT_EQ(chain_text(ServiceError::argument_has_nul_byte("service name")),
              "Error: service name contains a nul byte\n");
    EXPECT_EQ(chain_text(ServiceError::argument_array_element_has_nul_byte("launch arguments", 2)),
              "Error: launch arguments contains a nul byte in element at 2 index\n");
    EXPECT_EQ(chain_text(ServiceError::launch_arguments_not_supported()),
              "Error: kernel drivers do not support launch arguments\n");
    EXPECT_EQ((RawValueError{RawValueError::Kind::InvalidIntegerSigned, 0, -3, {}}.text()),
              "invalid signed integer for the target type: -3");
    EXPECT_EQ((RawValueError{RawValueError::Kind::InvalidGuid, 0, 0, "xyz"}.text()),
              "invalid GUID value for the target type: xyz");

    EXPECT_TRUE(ServiceError::winapi(WinCode{1062}).is_winapi(WinCode{1062}));
    EXPECT_FALSE(ServiceError::winapi(WinCode{1062}).is_winapi(WinCode{1060}));
    EXPECT_FALSE(ServiceError::argument_has_nul_byte("service name").is_winapi(WinCode{0}));
}

TEST(ScmConnection, OpensWithTheRequestedRightsAndRefusesANulName) {
    MemorySystem system;
    system.add_service("orvex_vpn_service");
    {
        auto manager = ScmConnection::connect(system, ServiceAccess::ManagerConnect);
        ASSERT_TRUE(manager);
        EXPECT_TRUE(manager->open_service("orvex_vpn_service",
                                          ServiceAccess::Delete | ServiceAccess::Stop));
        auto nul =
            manager->open_service(std::string_view("orvex\0x", 7), ServiceAccess::QueryStatus);
        ASSERT_FALSE(nul);
        EXPECT_EQ(nul.error().kind(), ServiceError::Kind::ArgumentHasNulByte);
        auto missing = manager->open_service("other", ServiceAccess::QueryStatus);
        ASSERT_FALSE(missing);
        EXPECT_TRUE(missing.error().is_winapi(WinCode{1060}));
    }
    EXPECT_EQ(system.manager_opens, std::vector<ServiceAccess>{ServiceAccess::ManagerConnect});
    EXPECT_EQ(system.count_calls(Op::OpenService), 2u); // none for the NUL name
    expect_nothing_leaked(system);
}

} // namespace
} // namespace orvex
