#include "engine/library_batch.h"

#include <QFileInfo>
#include <algorithm>
#include <map>
#include <numeric>
#include <tuple>

#include "engine/work_pool.h"
#include "platform/lens_profile_file.h"
#include "platform/photo_metadata.h"
#include "platform/raw_file.h"

namespace velmora {

BatchProfiles BatchProfiles::Of(const ProfileLibrary& library, const QString& fallbackFile) {
    BatchProfiles profiles;
    for (const LibraryProfile& profile : library.profiles) {
        profiles.paths.push_back(profile.path);
        profiles.headers.push_back(profile.header);
    }
    if (!fallbackFile.isEmpty()) {
        profiles.headers.push_back(ReadLensProfileHeader(fallbackFile));
        profiles.fallback = int(profiles.paths.size());
        profiles.paths.push_back(fallbackFile);
    }
    for (const QString& path : profiles.paths)
        profiles.names.push_back(QFileInfo(path).fileName());
    return profiles;
}

std::vector<LibraryPicture> ChooseForPictures(const QStringList& inputs,
                                              const BatchProfiles& profiles, WorkPool& pool,
                                              bool cubic) {
    // A picture chooses among the profiles of its own kind: rendered, or raw of its pattern's
    // size (a Bayer picture is served by every Bayer profile, whatever its phase).
    const auto kindOf = [](const CfaPattern* raw) { return raw == nullptr ? -1 : raw->width; };
    std::map<int, std::vector<ShotSettings>> shots;
    std::map<int, std::vector<int>> indexes;
    for (std::size_t i = 0; i < profiles.headers.size(); ++i) {
        if (int(i) == profiles.fallback) continue;
        const LensProfile& header = profiles.headers[i];
        const int kind = kindOf(header.raw ? &header.raw->cfa : nullptr);
        shots[kind].push_back(header.shot);
        indexes[kind].push_back(int(i));
    }
    std::vector<LibraryPicture> chosen(std::size_t(inputs.size()));
    pool.ForEach(chosen.size(), [&](std::size_t i) {
        LibraryPicture& picture = chosen[i];
        const QString& input = inputs[qsizetype(i)];
        int kind = kindOf(nullptr);
        if (IsRawFile(input)) {
            try {
                const RawHeader header = ReadRawHeader(input);
                picture.shot = header.shot;
                kind = kindOf(&header.cfa);
            } catch (const std::exception&) {
                // Reported when the picture is corrected.
            }
        } else {
            picture.shot = ReadShotSettings(input);
        }
        const auto found = shots.find(kind);
        picture.choice = ChooseProfiles(
            picture.shot, found != shots.end() ? found->second : std::vector<ShotSettings>{},
            cubic);
        for (ProfileChoice::Part& part : picture.choice.parts)
            part.profile = indexes.at(kind)[std::size_t(part.profile)];
        if (picture.choice.parts.empty() && profiles.fallback >= 0) {
            picture.choice.parts = {{profiles.fallback, 1.0}};
            picture.fallback = true;
        }
        for (const ProfileChoice::Part& part : picture.choice.parts)
            picture.parts.emplace_back(part.profile, part.weight);
    });
    return chosen;
}

std::vector<std::size_t> OrderOfPictures(const std::vector<LibraryPicture>& pictures,
                                         const std::vector<LensProfile>& headers) {
    // Made once per picture, not once per comparison.
    using OrderKey = std::tuple<bool, std::string, double, double, ProfileParts>;
    std::vector<OrderKey> keys;
    for (const LibraryPicture& picture : pictures) {
        const ProfileParts& parts = picture.parts;
        const ShotSettings& first =
            parts.empty() ? ShotSettings{} : headers[std::size_t(parts.front().first)].shot;
        keys.emplace_back(!parts.empty(), first.make + '\n' + first.model + '\n' + first.lens,
                          first.focalLength, first.fNumber, parts);
    }
    std::vector<std::size_t> order(pictures.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    return order;
}

LibraryCorrector::LibraryCorrector(const std::vector<LibraryPicture>& pictures,
                                   const BatchProfiles& profiles,
                                   const CorrectionSettings& settings, WorkPool& pool,
                                   MemoryBudget& budget, const QString& dark)
    : store_(profiles.paths, profiles.headers, pool, budget),
      corrector_(settings, store_, pool, budget, dark) {
    for (const LibraryPicture& picture : pictures) {
        if (!picture.parts.empty()) store_.Expect(picture.parts);
    }
}

void LibraryCorrector::Correct(const LibraryPicture& picture, const QString& input,
                               const QString& output, const PictureOutput& out,
                               const std::function<void(const QString&)>& warn) {
    // Let go of what only this picture still needed, however it ends.
    struct Finish {
        LibraryCorrector& batch;
        const ProfileParts& parts;
        ~Finish() {
            for (const ProfileParts& released : batch.store_.Done(parts))
                batch.corrector_.Forget(released);
        }
    } finish{*this, picture.parts};
    store_.Start(picture.parts);  // read while the picture before is corrected
    GainRecipe recipe{picture.parts, {}};
    if (!picture.choice.cubicNodes.empty()) {
        recipe.cubic.emplace(picture.choice.cubicNodes, picture.choice.cubicAt);
    }
    corrector_.Correct(input, output, recipe, out, warn);
    const std::lock_guard lock(mutex_);
    for (const auto& part : picture.parts)
        ++(picture.parts.size() == 1 ? counts_[part.first].alone : counts_[part.first].blended);
}

std::map<int, LibraryCorrector::Count> LibraryCorrector::counts() const {
    const std::lock_guard lock(mutex_);
    return counts_;
}

}  // namespace velmora
