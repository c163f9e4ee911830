// Output claims with paths held before the run: the job a path is held for takes it whatever
// the order the jobs finish in, any other job is told whose it is, and the same source at two
// places of the list is still two jobs.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "engine/output_claims.h"

namespace zelvan {
namespace {

TEST(OutputClaims, HeldPathsGoToTheirJobsInAnyOrder) {
    struct Claim {
        std::string path, source;
        std::int32_t job;
        std::optional<std::string> told;  // the other source named, or nothing: written
    };
    struct Case {
        const char* name;
        std::vector<Claim> claims;
    };
    const Case cases[] = {
        {"later job first", {{"/o/p.png", "b/p.ppm", 23, "a/p.ppm"}, {"/o/p.png", "a/p.ppm", 1, std::nullopt}}},
        {"earlier job first", {{"/o/p.png", "a/p.ppm", 1, std::nullopt}, {"/o/p.png", "b/p.ppm", 23, "a/p.ppm"}}},
        {"same source at another place", {{"/o/p.png", "a/p.ppm", 40, "a/p.ppm"}, {"/o/p.png", "a/p.ppm", 1, std::nullopt}}},
        {"a path held for no one", {{"/o/q.png", "c/q.ppm", 5, std::nullopt}, {"/o/q.png", "d/q.ppm", 6, "c/q.ppm"}}},
        {"no job number (the window's runs)", {{"/o/p.png", "a/p.ppm", 0, "a/p.ppm"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OutputClaims claims;
        claims.Clear({{"/o/p.png", "a/p.ppm", 1}});
        for (const Claim& claim : c.claims) EXPECT_EQ(claims.Claim(claim.path, claim.source, claim.job), claim.told);
    }
    // A new run starts without the last run's holds.
    OutputClaims claims;
    claims.Clear({{"/o/p.png", "a/p.ppm", 1}});
    claims.Clear();
    EXPECT_EQ(claims.Claim("/o/p.png", "b/p.ppm", 23), std::nullopt);
}

}  // namespace
}  // namespace zelvan
