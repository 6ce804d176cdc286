// The simulated libraries' call log keeps the most recent calls, in order, with all their arguments.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "sim/common/faults.h"
#include "sim/control.h"

namespace {

TEST(CallLogTest, KeepsTheMostRecentCallsInOrderWithEveryArgument) {
    qorsim::clearCalls();
    int32_t status = 0;
    constexpr int64_t kCalls = 20005;
    for (int64_t i = 0; i < kCalls; ++i) EXPECT_FALSE(qorsim::enterCall("QOR_LogProbe", {i, -i}, status));
    EXPECT_FALSE(qorsim::enterCall("QOR_LogProbeWide", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, status));

    const std::vector<qorsim::CallRecord> calls = qorsim::calls();
    ASSERT_EQ(calls.size(), 20000u);
    EXPECT_EQ(calls.front().name, "QOR_LogProbe");
    EXPECT_EQ(calls.front().args, (std::vector<int64_t>{6, -6}));
    EXPECT_EQ(calls[calls.size() - 2].args, (std::vector<int64_t>{kCalls - 1, 1 - kCalls}));
    EXPECT_EQ(calls.back().name, "QOR_LogProbeWide");
    EXPECT_EQ(calls.back().args, (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(qorsim::lastCallArgs("QOR_LogProbe"), (std::vector<int64_t>{kCalls - 1, 1 - kCalls}));
    EXPECT_EQ(qorsim::callCount("QOR_LogProbe"), kCalls);
    EXPECT_TRUE(qorsim::lastCallArgs("QOR_NeverCalled").empty());

    qorsim::clearCalls();
    EXPECT_TRUE(qorsim::calls().empty());
    EXPECT_EQ(qorsim::callCount("QOR_LogProbe"), 0);
}

}  // namespace
