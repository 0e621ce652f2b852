// SPDX-License-Identifier: MIT

// How lexspot-parallel cuts an argument list into shards.
#include <cstdint>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lexspot-parallel/workers.hpp"

namespace {

using namespace lexspot;
using Weights = std::vector<int64_t>;
using Starts = std::vector<int64_t>;

Starts plan(const Weights &weights, int64_t jobs, int64_t shards, int64_t most = 1000) {
    Buffer<int64_t> starts;
    plan_shards(weights.data(), static_cast<int64_t>(weights.size()), jobs, shards, most, &starts);
    return Starts(starts.data(), starts.data() + starts.size());
}

constexpr int64_t mib = 1 << 20;

Weights many(int64_t n, int64_t weight) {
    return Weights(static_cast<size_t>(n), weight);
}

// Each shard's weight, from the plan.
Weights loads(const Weights &weights, const Starts &starts) {
    Weights sums;
    for (size_t s = 0; s < starts.size(); s++) {
        const size_t end =
            s + 1 < starts.size() ? static_cast<size_t>(starts[s + 1]) : weights.size();
        int64_t sum = 0;
        for (size_t i = static_cast<size_t>(starts[s]); i < end; i++)
            sum += weights[i];
        sums.push_back(sum);
    }
    return sums;
}

TEST(PlanTest, AnExactNumberOfShardsBalancedByWeight) {
    struct Case {
        Weights weights;
        int64_t shards;
        Starts starts;
    };
    const Case cases[] = {
        {{10, 10, 10, 10}, 2, {0, 2}},
        {{10, 10, 10, 10}, 3, {0, 1, 3}},
        {{10, 10, 10, 10}, 4, {0, 1, 2, 3}},
        {{10, 10, 10, 10}, 9, {0, 1, 2, 3}}, // one per argument at most
        {{10}, 5, {0}},
        {{1, 1, 1, 97}, 2, {0, 3}}, // the heavy one alone
        {{97, 1, 1, 1}, 2, {0, 1}},
        {{1, 1, 1, 1, 1, 1}, 6, {0, 1, 2, 3, 4, 5}},
        {{5, 1, 1, 1, 1, 1}, 3, {0, 1, 3}}, // 5 | 1 1 | 1 1 1
        {{1, 1, 1, 1, 1}, 2, {0, 2}},       // a file astride the cut goes after it
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.weights) + " in " + std::to_string(c.shards));
        EXPECT_EQ(plan(c.weights, 2, c.shards), c.starts);
    }
    // No more than `most`, even when more are asked for.
    EXPECT_EQ(plan(many(10, 1), 2, 8, 3), (Starts{0, 3, 7}));
}

TEST(PlanTest, TheDefaultKeepsShardsSmallAndMoreThanTheJobs) {
    // 100 files of 1 MiB: shards of about 2 MiB, more than enough for 2 jobs.
    const Starts hundred = plan(many(100, mib), 2, 0);
    EXPECT_EQ(hundred.size(), 50u);
    EXPECT_THAT(loads(many(100, mib), hundred), testing::Each(2 * mib));
    // Small inputs still make 4 shards per job, where there are the files.
    EXPECT_EQ(plan(many(1000, 100), 2, 0).size(), 8u);
    EXPECT_EQ(plan(many(1000, 100), 3, 0).size(), 12u);
    EXPECT_EQ(plan(many(5, 100), 2, 0), (Starts{0, 1, 2, 3, 4}));
    EXPECT_EQ(plan(many(1, 100), 8, 0), (Starts{0}));
    // Never more than the descriptors allow.
    EXPECT_LE(plan(many(100, mib), 2, 0, 10).size(), 10u);
}

TEST(PlanTest, AFileLargerThanTheAverageShardStandsAlone) {
    // 40 files of 1 MiB around one of 40 MiB: the large one alone, the
    // others cut before and after it, in shards of about 2 MiB.
    Weights weights = many(20, mib);
    weights.push_back(40 * mib);
    Weights after = many(20, mib);
    weights.insert(weights.end(), after.begin(), after.end());
    const Starts starts = plan(weights, 2, 0);
    const auto large = std::find(starts.begin(), starts.end(), 20);
    ASSERT_NE(large, starts.end());
    ASSERT_NE(large + 1, starts.end());
    EXPECT_EQ(*(large + 1), 21);
    for (int64_t load : loads(weights, starts))
        EXPECT_TRUE(load == 40 * mib || load <= 3 * mib) << load;
}

} // namespace
