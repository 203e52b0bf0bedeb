#include "maintenance/charge_passes.h"

#include <gtest/gtest.h>

#include <vector>

namespace korva {
namespace {

TEST(ChargePasses, OnePartOrSecondPartFirst) {
    struct Case {
        uint32_t length;
        bool two_part;
        uint32_t second_part;
        std::vector<ChargePass> passes;
    };
    const Case cases[] = {
        {1128, false, 0, {{0, 1000, 1000, PassBlock::GIVEN}}},
        {1128, false, 600, {{0, 1000, 1000, PassBlock::GIVEN}}},  // P without two parts
        {1128,
         true,
         600,
         {{600, 400, 1000, PassBlock::GIVEN}, {0, 472, 472, PassBlock::AFTER_REPORTED}}},
    };
    for (const Case& c : cases) {
        const ChargePasses got = charge_passes(c.length, 128, c.two_part, c.second_part);
        ASSERT_EQ(got.list().size(), c.passes.size());
        for (std::size_t i = 0; i < c.passes.size(); ++i) {
            const ChargePass& want = c.passes[i];
            const ChargePass& pass = got.list()[i];
            EXPECT_EQ(pass.start, want.start) << i;
            EXPECT_EQ(pass.count, want.count) << i;
            EXPECT_EQ(pass.trailer, want.trailer) << i;
            EXPECT_EQ(pass.block, want.block) << i;
        }
    }
}

}  // namespace
}  // namespace korva
