// The launcher state record as text: the exact bytes written for every kind of
// record, and those bytes (with and without the final LF) read back.

#include <gtest/gtest.h>

#include "state/launcher_state.h"
#include "state_test_support.h"

namespace qor {
namespace {

using test::kIdA;
using test::kIdB;

using test::KindCase;

class StateText : public ::testing::TestWithParam<KindCase> {};

TEST_P(StateText, FormatsExactBytesAndReadsThemBack) {
    const KindCase& c = GetParam();
    ASSERT_TRUE(satisfies_state_invariants(c.record));
    const std::string text = format_launcher_state(c.record);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(text.size(), c.record.staged_version.empty() ? 84u : 147u);
    EXPECT_EQ(parse_launcher_state(text), c.record);
    const std::string without_final_lf = text.substr(0, text.size() - 1);
    EXPECT_EQ(parse_launcher_state(without_final_lf), c.record);
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, StateText,
    ::testing::ValuesIn(test::every_record_kind()),
    [](const ::testing::TestParamInfo<KindCase>& p) { return std::string(p.param.kind); });

TEST(StateText, SettledFileHasTheDashAtOffsetEightyAndZeroAtEightyTwo) {
    const std::string text = format_launcher_state({kIdA, "", false});
    ASSERT_EQ(text.size(), 84u);
    EXPECT_EQ(text.substr(0, 15), "Qor launcher 1\n");
    EXPECT_EQ(text.substr(15, 64), kIdA);
    EXPECT_EQ(text.substr(79), "\n-\n0\n");
}

struct InvariantCase {
    LauncherState record;
    bool valid;
};

class StateInvariants : public ::testing::TestWithParam<InvariantCase> {};

TEST_P(StateInvariants, HoldExactlyForWellFormedRecords) {
    EXPECT_EQ(satisfies_state_invariants(GetParam().record), GetParam().valid)
        << GetParam().record.current_version << " / " << GetParam().record.staged_version << " / "
        << GetParam().record.trial_pending;
}

INSTANTIATE_TEST_SUITE_P(
    Records, StateInvariants,
    ::testing::Values(InvariantCase{{kIdA, "", false}, true}, InvariantCase{{kIdA, kIdB, true}, true},
                      InvariantCase{{kIdA, "", true}, false}, InvariantCase{{"", "", false}, false},
                      InvariantCase{{"-", "", false}, false}, InvariantCase{{kIdA, "-", false}, false},
                      InvariantCase{{test::with_byte(kIdA, 0, 'A'), "", false}, false},
                      InvariantCase{{kIdA, kIdB.substr(1), false}, false},
                      InvariantCase{{kIdA + "0", "", false}, false}));

}  // namespace
}  // namespace qor
