// --simulate: the utility's session against the in-process virtual reader.
#include "console/simulated_session.h"

#include <gtest/gtest.h>

namespace korva::testing {
namespace {

TEST(SimulatedSession, UnknownProfileOrFaultEndsWithStatusTwo) {
    SimulationOptions options;
    options.profile = "nonesuch";
    EXPECT_EQ(run_simulated_session({"3", "q"}, options), 2);
    options.profile = "default";
    options.faults = {"explode"};
    EXPECT_EQ(run_simulated_session({"3", "q"}, options), 2);
}

}  // namespace
}  // namespace korva::testing
