#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// The instruction sets the passes are written for, plainest first. Avx512 means AVX-512 F, BW
// and VBMI together (the byte permute).
enum class Kernel : std::uint8_t { Portable, Sse2, Avx2, Avx512 };

const char* KernelName(Kernel kernel);  // "portable", "sse2", "avx2", "avx512"
std::optional<Kernel> KernelNamed(std::string_view name);

// One way of running a pass: its instruction set, and for table lookups whether vector gathers
// read the table. Gathers are fast on some processors and cost several times the scalar loads
// they replace on others (AMD's Zen 3 among them), so they are a variant of their own.
struct KernelVariant {
    Kernel set = Kernel::Portable;
    bool gathers = false;
    friend bool operator==(const KernelVariant&, const KernelVariant&) = default;
};

std::string VariantName(KernelVariant variant);  // "avx2", "avx2-gather"
std::optional<KernelVariant> VariantNamed(std::string_view name);

// Every variant this processor runs, plainest first: each set, and avx2-gather where AVX2 runs.
std::vector<KernelVariant> AvailableVariants();
// Every instruction set this processor runs, plainest first.
std::vector<Kernel> AvailableKernels();

// What the passes run. Unforced, a pass that has several variants times them once per process
// and takes the fastest (KernelChoice); the others run the best set the processor has. Forced
// (the environment variable VELMORA_KERNEL, read once, or ForceVariant), every pass runs that
// variant, or its nearest below it where the pass has no such variant. Never above what the
// processor runs; an unknown name forces nothing.
std::optional<KernelVariant> ForcedVariant();
// Forces `variant`, lowered to what the processor runs, or lifts the forcing (nullopt). For tests
// and benchmarks, which switch between passes and not during one. Returns the forcing in effect.
std::optional<KernelVariant> ForceVariant(std::optional<KernelVariant> variant);
// The forcing VELMORA_KERNEL=`name` asks for, as ForceVariant gets it at start.
std::optional<KernelVariant> ForcingNamed(const char* name);

// The instruction set of the passes that have one variant per set: the forced one, else the best.
Kernel ActiveKernel();
// Forces `kernel` without gathers and returns the set in effect.
Kernel UseKernel(Kernel kernel);

// A pass's variants and which of them runs. `trial` runs the pass once, with the variant given,
// on a small buffer of its own (a millisecond at most); unforced, Current() times every variant
// by it at first use, the best of five runs each, and keeps the fastest for the process.
class KernelChoice {
  public:
    using Trial = std::function<void(KernelVariant)>;
    KernelChoice(std::string pass, std::vector<KernelVariant> offered, Trial trial);

    KernelVariant Current();
    // The variant that runs under `forcing`: its own where the pass has it; else the best below
    // it, gathering only where the forcing gathers.
    KernelVariant Resolve(KernelVariant forcing) const;
    const std::vector<KernelVariant>& offered() const { return offered_; }
    const std::string& pass() const { return pass_; }

  private:
    void Time();

    std::string pass_;
    std::vector<KernelVariant> offered_;  // those this processor runs
    Trial trial_;
    std::once_flag timed_;
    KernelVariant fastest_;
};

// How each pass that has chosen so far chose: its variant, and the timings or the forcing.
struct ChoiceRecord {
    std::string pass;
    std::string chosen;
    std::string why;
};
std::vector<ChoiceRecord> KernelChoices();

}  // namespace velmora
