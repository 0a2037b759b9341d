#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "correction/frame_combine.h"

namespace velmora {
namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Mean(const std::vector<double>& v) {
    return std::accumulate(v.begin(), v.end(), 0.0) / double(v.size());
}

double Sigma(const std::vector<double>& v) {
    const double m = Mean(v);
    double s = 0;
    for (const double x : v)
        s += (x - m) * (x - m);
    return std::sqrt(s / double(v.size()));
}

// The rules as their help states them, one place at a time, with no sorting of kept runs.
double Definition(std::vector<double> v, const CombineRule& rule, std::int64_t& rejected) {
    std::erase_if(v, [](double x) { return std::isnan(x); });
    if (v.empty()) return NAN;
    switch (rule.method) {
        case CombineMethod::Mean:
            return Mean(v);
        case CombineMethod::Median:
            return Median(v);
        case CombineMethod::SigmaClip: {
            const std::size_t all = v.size();
            for (;;) {
                const double m = Median(v);
                const double s = Sigma(v);
                std::vector<double> kept;
                for (const double x : v)
                    if (x >= m - rule.low * s && x <= m + rule.high * s) kept.push_back(x);
                if (kept.size() == v.size()) break;
                v = kept;
            }
            rejected += std::int64_t(all - v.size());
            return Mean(v);
        }
        case CombineMethod::Winsorized: {
            const std::vector<double> original = v;
            double lo = -INFINITY, hi = INFINITY;
            for (int round = 0; round < kWinsorRounds; ++round) {
                const double m = Median(v);
                const double s = Sigma(v);
                const double a = m - rule.low * s, b = m + rule.high * s;
                if (std::all_of(v.begin(), v.end(), [&](double x) { return x >= a && x <= b; }))
                    break;
                for (double& x : v)
                    x = std::clamp(x, a, b);
                const bool settled = std::abs(a - lo) < 1e-6 * s && std::abs(b - hi) < 1e-6 * s;
                lo = a;
                hi = b;
                if (settled) break;
            }
            for (std::size_t i = 0; i < v.size(); ++i)
                rejected += v[i] != original[i] ? 1 : 0;
            return Mean(v);
        }
    }
    return NAN;
}

struct Stack {
    const char* name;
    std::size_t frames;
    // The value of frame f at place i.
    double (*value)(std::size_t f, std::size_t i, std::mt19937& random);
};

const Stack kStacks[] = {
    {"one frame", 1, [](std::size_t, std::size_t i, std::mt19937&) { return double(i); }},
    {"two frames", 2, [](std::size_t f, std::size_t i, std::mt19937&) { return double(i * f); }},
    {"all equal", 9, [](std::size_t, std::size_t, std::mt19937&) { return 1234.5; }},
    {"odd count, noise", 15,
     [](std::size_t, std::size_t, std::mt19937& r) {
         return std::normal_distribution<double>(1000, 20)(r);
     }},
    {"even count, cosmic rays", 16,
     [](std::size_t f, std::size_t i, std::mt19937& r) {
         const double v = std::normal_distribution<double>(500, 5)(r);
         return (i + f) % 13 == 0 ? v + 40000 : v;
     }},
    // Every value but one rejected: one real value among blanks of the other frames.
    {"blanks but one", 7,
     [](std::size_t f, std::size_t i, std::mt19937&) { return f == i % 7 ? double(i) : NAN; }},
    {"only blanks at some places", 4,
     [](std::size_t f, std::size_t i, std::mt19937&) { return i % 5 == 0 ? NAN : double(f); }},
    {"many frames, outliers both ways", 40,
     [](std::size_t f, std::size_t i, std::mt19937& r) {
         const double v = std::normal_distribution<double>(100, 3)(r);
         return f == i % 40 ? v + 500 : f == (i + 3) % 40 ? v - 300 : v;
     }},
};

TEST(FrameCombine, EveryRuleIsItsDefinition) {
    const CombineRule rules[] = {{CombineMethod::Mean},
                                 {CombineMethod::Median},
                                 {CombineMethod::SigmaClip, 3, 3},
                                 {CombineMethod::SigmaClip, 1.5, 2},
                                 {CombineMethod::Winsorized, 3, 3},
                                 {CombineMethod::Winsorized, 1.5, 1.5}};
    for (const Stack& stack : kStacks) {
        for (const CombineRule& rule : rules) {
            SCOPED_TRACE(std::string(stack.name) + ", method " + std::to_string(int(rule.method)) +
                         ", low " + std::to_string(rule.low));
            const std::size_t count = 300;  // more than one chunk of places
            const std::size_t stride = count + 7;
            std::mt19937 random(7);
            std::vector<float> values(stack.frames * stride, -1.0f);
            for (std::size_t f = 0; f < stack.frames; ++f)
                for (std::size_t i = 0; i < count; ++i)
                    values[f * stride + i] = float(stack.value(f, i, random));
            std::vector<double> place(stack.frames);
            std::vector<float> expected(count);
            std::int64_t expectedRejected = 0;
            for (std::size_t i = 0; i < count; ++i) {
                for (std::size_t f = 0; f < stack.frames; ++f)
                    place[f] = values[f * stride + i];
                expected[i] = float(Definition(place, rule, expectedRejected));
            }
            // Scaled frames come as doubles; the same values must combine the same way.
            std::vector<double> doubles(values.begin(), values.end());
            std::vector<float> out(count), outOfDoubles(count);
            const std::int64_t rejected =
                CombinePlaces(values.data(), stack.frames, stride, count, rule, out.data());
            EXPECT_EQ(rejected, expectedRejected);
            EXPECT_EQ(CombinePlaces(doubles.data(), stack.frames, stride, count, rule,
                                    outOfDoubles.data()),
                      expectedRejected);
            for (std::size_t i = 0; i < count; ++i) {
                EXPECT_TRUE(outOfDoubles[i] == out[i] || std::isnan(out[i])) << "place " << i;
                if (std::isnan(expected[i])) {
                    EXPECT_TRUE(std::isnan(out[i])) << "place " << i;
                } else {
                    // The same sums in another order: within a float's rounding.
                    EXPECT_NEAR(out[i], expected[i], std::abs(expected[i]) * 2e-7 + 1e-30)
                        << "place " << i;
                }
            }
        }
    }
}

TEST(FrameCombine, TheNetworkSortsEveryCount) {
    std::mt19937 random(3);
    for (std::size_t n = 1; n <= 70; ++n) {
        const auto network = SortingNetwork(n);
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<int> v(n);
            for (int& x : v)
                x = int(random() % 5);
            for (const auto& [a, b] : network)
                if (v[b] < v[a]) std::swap(v[a], v[b]);
            EXPECT_TRUE(std::is_sorted(v.begin(), v.end())) << n << " values";
        }
    }
}

}  // namespace
}  // namespace velmora
