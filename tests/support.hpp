#pragma once
// Shared helpers for the native tests.

#include <gtest/gtest.h>

#include <string>

#include "cli/error_report.hpp"
#include "model/memory_system.hpp"

namespace orvex::testing {

// The report text of a failed result.
template <class T> std::string report_of(MemorySystem& system, const Result<T>& result) {
    if (result) {
        return "<success>";
    }
    return render_error_report(system, result.error());
}

// Asserts that nothing the code under test acquired is still held.
inline void expect_nothing_leaked(const MemorySystem& system) {
    EXPECT_EQ(system.open_handles(), 0u) << "handles left open";
    EXPECT_EQ(system.live_allocations(), 0u) << "descriptors or SIDs not freed";
    EXPECT_EQ(system.bad_releases(), 0u) << "a resource was released twice or never acquired";
}

} // namespace orvex::testing
