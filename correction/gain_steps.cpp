#include "correction/gain_steps.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace velmora {

namespace {

// Step s begins where a gain is nearer to step s than to s - 1 in the logarithm:
// 2^((s - 0.5) / 2048 - 4). A gain's step is the number of those beginnings at or below it,
// found from its top bits (8192 parts per octave, so that each part holds one beginning at
// most) and one comparison: the logarithm of every gain of a picture took 110 ns each.
struct StepTables {
    static constexpr int kPartBits = 13;
    std::vector<double> beginning;  // [s], s = 1 .. kGainSteps - 1; [0] = 0, [kGainSteps] = inf
    std::vector<std::uint16_t> partStart;
    std::uint32_t firstPart = 0;

    StepTables() : beginning(kGainSteps + 1) {
        beginning[0] = 0;
        for (int s = 1; s < kGainSteps; ++s)
            beginning[std::size_t(s)] =
                std::exp2((s - 0.5) / kGainStepsPerOctave + kLowestGainOctave);
        beginning[kGainSteps] = HUGE_VAL;
        firstPart = std::bit_cast<std::uint32_t>(float(std::exp2(kLowestGainOctave - 1))) >>
                    (23 - kPartBits);
        const std::uint32_t lastPart =
            std::bit_cast<std::uint32_t>(float(std::exp2(kLowestGainOctave + 9))) >>
            (23 - kPartBits);
        partStart.resize(lastPart - firstPart + 1);
        int step = 0;
        for (std::uint32_t part = firstPart; part <= lastPart; ++part) {
            const double lower = std::bit_cast<float>(part << (23 - kPartBits));
            while (step + 1 < kGainSteps && beginning[std::size_t(step) + 1] <= lower)
                ++step;
            partStart[part - firstPart] = std::uint16_t(step);
        }
    }
};

const StepTables& Steps() {
    static const StepTables tables;
    return tables;
}

}  // namespace

std::uint16_t GainStep(float gain) {
    const StepTables& tables = Steps();
    if (!(gain > tables.beginning[1])) return 0;  // also NaN
    if (gain >= tables.beginning[kGainSteps - 1]) return kGainSteps - 1;
    const std::uint32_t part =
        (std::bit_cast<std::uint32_t>(gain) >> (23 - StepTables::kPartBits)) - tables.firstPart;
    std::uint16_t step = tables.partStart[part];
    step += double(gain) >= tables.beginning[std::size_t(step) + 1];
    return step;
}

float StepGain(std::uint16_t step) {
    return float(std::exp2(double(step) / kGainStepsPerOctave + kLowestGainOctave));
}

std::vector<std::uint16_t> ToGainSteps(const std::vector<float>& gains) {
    std::vector<std::uint16_t> steps(gains.size());
    std::transform(gains.begin(), gains.end(), steps.begin(), GainStep);
    return steps;
}

FileValueSteps::FileValueSteps(const std::array<double, 3>& centre, int channels) : values_(65536) {
    // Made by the very calls that ComputeGainSteps makes, on a flat holding every file value.
    FlatField every{65536, 1, channels, std::vector<float>(65536 * std::size_t(channels))};
    for (std::uint32_t k = 0; k < 65536; ++k) {
        values_[k] = float(double(k) / 65535.0);
        for (int c = 0; c < channels; ++c)
            every.values[k * std::size_t(channels) + std::size_t(c)] = values_[k];
    }
    const std::vector<std::uint16_t> steps =
        ToGainSteps(ComputeGains(every, centre, CorrectWhat::Both, channels));
    for (int c = 0; c < channels; ++c) {
        steps_[std::size_t(c)].resize(65536);
        for (std::size_t k = 0; k < 65536; ++k)
            steps_[std::size_t(c)][k] = steps[k * std::size_t(channels) + std::size_t(c)];
    }
}

void ComputeGainSteps(const FlatField& flat, const std::array<double, 3>& centre, CorrectWhat what,
                      int pictureChannels, std::size_t firstPlace, std::size_t places,
                      std::uint16_t* out, const FileValueSteps* fileValues) {
    if (fileValues != nullptr && what == CorrectWhat::Both && flat.channels == pictureChannels) {
        const std::size_t channels = std::size_t(pictureChannels);
        for (std::size_t i = 0; i < places; ++i) {
            const float* values = flat.values.data() + (firstPlace + i) * channels;
            std::uint16_t* steps = out + i * channels;
            if (fileValues->Lookup(values, pictureChannels, steps)) continue;
            ComputeGainSteps(flat, centre, what, pictureChannels, firstPlace + i, 1, steps);
        }
        return;
    }
    constexpr std::size_t kPlacesAtOnce = 4096;
    std::vector<float> gains(kPlacesAtOnce * std::size_t(pictureChannels));
    for (std::size_t done = 0; done < places; done += kPlacesAtOnce) {
        const std::size_t count = std::min(kPlacesAtOnce, places - done);
        ComputeGains(flat, centre, what, pictureChannels, firstPlace + done, count, gains.data());
        std::transform(gains.begin(), gains.begin() + std::ptrdiff_t(count * pictureChannels),
                       out + done * std::size_t(pictureChannels), GainStep);
    }
}

GainLookup::GainLookup(const ToneTables& tables, GainSpace space)
    : results_(std::size_t(256) * kGainSteps) {
    // Each step's row is one call of the row kernel: every value under the step's gain.
    std::vector<float> gains(256);
    const ToneTables* perChannel[] = {&tables};
    for (int step = 0; step < kGainSteps; ++step) {
        std::fill(gains.begin(), gains.end(), StepGain(std::uint16_t(step)));
        std::uint8_t* row = results_.data() + std::size_t(step) * 256;
        for (int value = 0; value < 256; ++value)
            row[value] = std::uint8_t(value);
        ApplyGainRow(row, 256, 1, 1, gains.data(), perChannel, space);
    }
}

void ApplyGainStepsRow(std::uint8_t* row, std::int32_t pixels, int samplesPerPixel,
                       int gainsPerPixel, const std::uint16_t* steps,
                       const GainLookup* const* lookups) {
    for (std::int32_t i = 0; i < pixels; ++i) {
        std::uint8_t* pixel = row + std::size_t(i) * std::size_t(samplesPerPixel);
        const std::uint16_t* step = steps + std::size_t(i) * std::size_t(gainsPerPixel);
        for (int c = 0; c < gainsPerPixel; ++c) {
            pixel[c] = lookups[c]->results()[std::size_t(step[c]) * 256 + pixel[c]];
        }
    }
}

}  // namespace velmora
