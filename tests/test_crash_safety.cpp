// A process killed at random moments while it stores the map over and over: "data.dat" is always
// one whole map, the old or the new, never a mix or a fragment.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "correction/map_store.h"
#include "test_support.h"

namespace velmora {
namespace {

CorrectionMap Filled(std::uint8_t value) {
    CorrectionMap map;
    std::memset(map.data(), value, kMapBytes);
    map(4799, 1199) = std::uint8_t(value + 1);  // the last byte tells a cut-off file apart
    return map;
}

TEST(CrashSafety, KilledSavesLeaveTheOldOrTheNewMap) {
    testing::TemporaryFolder folder;
    const auto file = folder / "data.dat";
    const CorrectionMap maps[2] = {Filled(10), Filled(20)};
    // The slowest of three saves: with other tests running beside this one, a single save timed
    // fast made every kill land before a killed process had completed a save.
    std::chrono::microseconds saveTime{0};
    for (int k = 2; k >= 0; --k) {
        const auto start = std::chrono::steady_clock::now();
        SaveCorrectionMap(maps[k % 2], file);
        saveTime = std::max(saveTime, std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - start));
    }

    // Kills from early in the first save to a few saves in, wherever this disk sets the pace.
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<long> delayMicroseconds(100, 3 * saveTime.count() + 1000);
    int stored = 0;  // which map the file holds
    int kept = 0;
    int replaced = 0;
    for (int round = 0; round < 30; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 1;; ++i) {
                try {
                    SaveCorrectionMap(maps[(stored + i) % 2], file);
                } catch (...) {
                    ::_exit(3);
                }
            }
        }
        ::usleep(useconds_t(delayMicroseconds(rng)));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saving process stopped by itself";

        const std::vector<std::uint8_t> bytes = testing::ReadWhole(file);
        ASSERT_EQ(bytes.size(), kMapBytes) << "round " << round;
        const int before = stored;
        stored = -1;
        for (int k = 0; k < 2; ++k) {
            if (std::memcmp(bytes.data(), maps[k].data(), kMapBytes) == 0) stored = k;
        }
        ASSERT_NE(stored, -1) << "round " << round << ": the map is a mix of two saves";
        ++(stored == before ? kept : replaced);
    }
    // Kills both before the first save was through and after it: the test reached both sides.
    EXPECT_GT(kept, 0);
    EXPECT_GT(replaced, 0);
}

}  // namespace
}  // namespace velmora
