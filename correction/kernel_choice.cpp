#include "correction/kernel_choice.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace velmora {
namespace {

constexpr const char* kKernelNames[] = {"portable", "sse2", "avx2", "avx512"};
constexpr const char* kGatherSuffix = "-gather";

Kernel BestKernel() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const Kernel best = [] {
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512vbmi")) {
            return Kernel::Avx512;
        }
        const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        return avx2 ? Kernel::Avx2 : Kernel::Sse2;
    }();
    return best;
#else
    return Kernel::Portable;
#endif
}

// Gathers are AVX2 instructions; below AVX2 a variant cannot gather.
KernelVariant Capped(KernelVariant variant) {
    variant.set = std::min(variant.set, BestKernel());
    variant.gathers = variant.gathers && variant.set >= Kernel::Avx2;
    return variant;
}

// The forcing as one byte, so that threads read it without a lock: 0 for none, else
// 1 + set + 16 x gathers.
std::uint8_t Encoded(std::optional<KernelVariant> variant) {
    if (!variant) return 0;
    return std::uint8_t(1 + int(variant->set) + (variant->gathers ? 16 : 0));
}

std::optional<KernelVariant> Decoded(std::uint8_t code) {
    if (code == 0) return std::nullopt;
    return KernelVariant{Kernel((code - 1) & 15), (code & 16) != 0};
}

const char* EnvironmentForcing() {
    return std::getenv("VELMORA_KERNEL");
}

std::atomic<std::uint8_t>& ForcingSlot() {
    static std::atomic<std::uint8_t> slot{Encoded(ForcingNamed(EnvironmentForcing()))};
    return slot;
}

struct Registry {
    std::mutex mutex;
    std::vector<const KernelChoice*> choices;
    std::vector<ChoiceRecord> timed;
};

Registry& Choices() {
    static Registry registry;
    return registry;
}

}  // namespace

const char* KernelName(Kernel kernel) {
    return kKernelNames[int(kernel)];
}

std::optional<Kernel> KernelNamed(std::string_view name) {
    for (int k = 0; k < 4; ++k) {
        if (name == kKernelNames[k]) return Kernel(k);
    }
    return std::nullopt;
}

std::string VariantName(KernelVariant variant) {
    return std::string(KernelName(variant.set)) + (variant.gathers ? kGatherSuffix : "");
}

std::optional<KernelVariant> VariantNamed(std::string_view name) {
    const std::string_view suffix = kGatherSuffix;
    const bool gathers = name.size() > suffix.size() && name.ends_with(suffix);
    if (gathers) name.remove_suffix(suffix.size());
    const std::optional<Kernel> set = KernelNamed(name);
    if (!set || (gathers && *set < Kernel::Avx2)) return std::nullopt;
    return KernelVariant{*set, gathers};
}

std::vector<Kernel> AvailableKernels() {
    std::vector<Kernel> kernels;
    for (int k = 0; k <= int(BestKernel()); ++k)
        kernels.push_back(Kernel(k));
    return kernels;
}

std::vector<KernelVariant> AvailableVariants() {
    std::vector<KernelVariant> variants;
    for (const Kernel kernel : AvailableKernels()) {
        variants.push_back({kernel, false});
        if (kernel == Kernel::Avx2) variants.push_back({kernel, true});
    }
    return variants;
}

std::optional<KernelVariant> ForcingNamed(const char* name) {
    if (name == nullptr) return std::nullopt;
    const std::optional<KernelVariant> variant = VariantNamed(name);
    if (!variant) return std::nullopt;
    return Capped(*variant);
}

std::optional<KernelVariant> ForcedVariant() {
    return Decoded(ForcingSlot().load(std::memory_order_relaxed));
}

std::optional<KernelVariant> ForceVariant(std::optional<KernelVariant> variant) {
    if (variant) variant = Capped(*variant);
    ForcingSlot().store(Encoded(variant), std::memory_order_relaxed);
    return ForcedVariant();
}

Kernel ActiveKernel() {
    const std::optional<KernelVariant> forced = ForcedVariant();
    return forced ? forced->set : BestKernel();
}

Kernel UseKernel(Kernel kernel) {
    ForceVariant(KernelVariant{kernel, false});
    return ActiveKernel();
}

KernelChoice::KernelChoice(std::string pass, std::vector<KernelVariant> offered, Trial trial)
    : pass_(std::move(pass)), trial_(std::move(trial)) {
    for (const KernelVariant variant : offered) {
        if (Capped(variant) == variant) offered_.push_back(variant);
    }
    if (offered_.empty()) offered_.push_back({});
    fastest_ = offered_.front();
    const std::lock_guard lock(Choices().mutex);
    Choices().choices.push_back(this);
}

KernelVariant KernelChoice::Resolve(KernelVariant forcing) const {
    forcing = Capped(forcing);
    KernelVariant best = offered_.front();
    for (const KernelVariant variant : offered_) {
        if (variant == forcing) return variant;
        if (variant.set > forcing.set || (variant.gathers && !forcing.gathers)) continue;
        // The higher set wins; within one, the gathering variant where the forcing gathers.
        const bool better = variant.set > best.set ||
                            (variant.set == best.set && variant.gathers == forcing.gathers);
        if (better) best = variant;
    }
    return best;
}

KernelVariant KernelChoice::Current() {
    if (const std::optional<KernelVariant> forced = ForcedVariant()) return Resolve(*forced);
    std::call_once(timed_, [this] { Time(); });
    return fastest_;
}

void KernelChoice::Time() {
    using Clock = std::chrono::steady_clock;
    std::vector<double> best(offered_.size(), 1e300);
    // Rounds take the variants in turn, so that a slow moment of the machine does not fall on one.
    for (int round = 0; round < 5; ++round) {
        for (std::size_t v = 0; v < offered_.size(); ++v) {
            const Clock::time_point start = Clock::now();
            trial_(offered_[v]);
            best[v] =
                std::min(best[v], std::chrono::duration<double>(Clock::now() - start).count());
        }
    }
    const std::size_t fastest =
        std::size_t(std::min_element(best.begin(), best.end()) - best.begin());
    fastest_ = offered_[fastest];
    std::string why = "fastest on a trial of its own:";
    for (std::size_t v = 0; v < offered_.size(); ++v) {
        char figure[64];
        std::snprintf(figure, sizeof figure, " %s %.1f us", VariantName(offered_[v]).c_str(),
                      best[v] * 1e6);
        why += figure;
        if (v + 1 < offered_.size()) why += ",";
    }
    const std::lock_guard lock(Choices().mutex);
    Choices().timed.push_back({pass_, VariantName(fastest_), why});
}

std::vector<ChoiceRecord> KernelChoices() {
    const std::optional<KernelVariant> forced = ForcedVariant();
    const std::lock_guard lock(Choices().mutex);
    if (!forced) return Choices().timed;
    std::vector<ChoiceRecord> records;
    const char* environment = EnvironmentForcing();
    const std::string why = environment != nullptr && ForcingNamed(environment) == forced
                                ? "forced by VELMORA_KERNEL=" + std::string(environment)
                                : "forced to " + VariantName(*forced);
    for (const KernelChoice* choice : Choices().choices)
        records.push_back({choice->pass(), VariantName(choice->Resolve(*forced)), why});
    return records;
}

}  // namespace velmora
