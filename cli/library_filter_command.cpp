#include "cli/library_filter_command.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <exception>
#include <map>
#include <mutex>
#include <numeric>
#include <optional>
#include <tuple>

#include "cli/batch_run.h"
#include "cli/console.h"
#include "cli/output_plan.h"
#include "cli/profile_filter_command.h"
#include "correction/error.h"
#include "correction/profile_choice.h"
#include "engine/memory_budget.h"
#include "engine/profile_correction.h"
#include "engine/profile_library.h"
#include "engine/profile_store.h"
#include "engine/work_pool.h"
#include "platform/lens_profile_file.h"
#include "platform/native_path.h"
#include "platform/photo_metadata.h"

namespace velmora {
namespace {

// What each picture takes, in the order of the plan.
struct PictureChoice {
    ShotSettings shot;
    ProfileChoice choice;
    bool fallback = false;  // none of the library served it
    ProfileParts parts;     // of the choice, as the store and the corrector take them
};

std::vector<PictureChoice> ChooseForPictures(const OutputPlan& plan, const ProfileLibrary& library,
                                             int fallbackIndex, WorkPool& pool, bool cubic) {
    const std::vector<ShotSettings> shots = library.shots();
    std::vector<PictureChoice> chosen(plan.pictures.size());
    pool.ForEach(chosen.size(), [&](std::size_t i) {
        PictureChoice& picture = chosen[i];
        picture.shot = ReadShotSettings(plan.pictures[i].input);
        picture.choice = ChooseProfiles(picture.shot, shots, cubic);
        if (picture.choice.parts.empty() && fallbackIndex >= 0) {
            picture.choice.parts = {{fallbackIndex, 1.0}};
            picture.fallback = true;
        }
        for (const ProfileChoice::Part& part : picture.choice.parts)
            picture.parts.emplace_back(part.profile, part.weight);
    });
    return chosen;
}

QString ExplainLine(const QString& input, const PictureChoice& picture,
                    const std::vector<QString>& names) {
    const ProfileChoice& choice = picture.choice;
    QStringList parts;
    for (const ProfileChoice::Part& part : choice.parts) {
        const QString& name = names[std::size_t(part.profile)];
        parts << (choice.parts.size() == 1 || !choice.cubicNodes.empty()
                      ? name
                      : QString("%1 x %2").arg(part.weight, 0, 'f', 3).arg(name));
    }
    QString took = parts.join(" + ");
    if (!choice.cubicNodes.empty()) {
        took = "monotone cubic in log2 f-number through " + parts.join(", ");
    }
    QString line =
        Native(input) + " (" + QString::fromStdString(DescribeShot(picture.shot)) + "): " + took;
    if (picture.fallback) {
        line += " (the fallback: " + QString::fromStdString(choice.missing) + ")";
    }
    return line;
}

// How many pictures took each profile, alone or in a blend.
class ProfileCounts {
  public:
    void Add(const ProfileParts& parts) {
        const std::lock_guard lock(mutex_);
        for (const auto& part : parts)
            ++(parts.size() == 1 ? alone_ : blended_)[part.first];
    }
    void Print(const std::vector<QString>& names) const {
        WriteLine(stdout, "Pictures per profile:");
        for (std::size_t i = 0; i < names.size(); ++i) {
            const int alone = Count(alone_, int(i));
            const int blended = Count(blended_, int(i));
            if (alone + blended == 0) continue;
            WriteLine(stdout, QString("  %1: %2 (%3 alone, %4 in blends)")
                                  .arg(names[i])
                                  .arg(alone + blended)
                                  .arg(alone)
                                  .arg(blended));
        }
    }

  private:
    static int Count(const std::map<int, int>& counts, int profile) {
        const auto found = counts.find(profile);
        return found == counts.end() ? 0 : found->second;
    }
    mutable std::mutex mutex_;
    std::map<int, int> alone_;
    std::map<int, int> blended_;
};

// The outputs must not replace a profile of the library.
QString LibraryClash(const OutputPlan& plan, const ProfileLibrary& library) {
    std::map<QString, QString> profileByIdentity;
    for (const LibraryProfile& profile : library.profiles)
        profileByIdentity[FileIdentity(profile.path)] = profile.path;
    for (const PlannedPicture& picture : plan.pictures) {
        const auto found = profileByIdentity.find(FileIdentity(picture.output));
        if (found != profileByIdentity.end()) {
            return "the output " + Native(picture.output) + " of " + Native(picture.input) +
                   " is the lens profile " + Native(found->second) + ".";
        }
    }
    return {};
}

// The library's profiles and the fallback: their paths, names and descriptions.
struct BatchProfiles {
    std::vector<QString> paths;
    std::vector<QString> names;
    std::vector<LensProfile> headers;
    int fallback = -1;
};

BatchProfiles ProfilesOf(const ProfileLibrary& library, const QString& fallbackFile) {
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

// The pictures of one choice one after another: each profile is read and each blend made once,
// and let go when the last picture that needs it is done. Choices go lens by lens and along the
// f-numbers, so that only a few neighbouring profiles are held at a time (files named by
// aperture first would otherwise interleave the lenses). Those none serves go first.
std::vector<std::size_t> OrderOfPictures(const std::vector<PictureChoice>& chosen,
                                         const std::vector<LensProfile>& headers) {
    // Made once per picture, not once per comparison.
    using OrderKey = std::tuple<bool, std::string, double, double, ProfileParts>;
    std::vector<OrderKey> orderKeys;
    for (const PictureChoice& picture : chosen) {
        const ProfileParts& parts = picture.parts;
        const ShotSettings& first =
            parts.empty() ? ShotSettings{} : headers[std::size_t(parts.front().first)].shot;
        orderKeys.emplace_back(!parts.empty(), first.make + '\n' + first.model + '\n' + first.lens,
                               first.focalLength, first.fNumber, parts);
    }
    std::vector<std::size_t> order(chosen.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return orderKeys[a] < orderKeys[b]; });
    return order;
}

GainRecipe RecipeOf(const PictureChoice& picture) {
    GainRecipe recipe{picture.parts, {}};
    if (!picture.choice.cubicNodes.empty()) {
        recipe.cubic.emplace(picture.choice.cubicNodes, picture.choice.cubicAt);
    }
    return recipe;
}

// Everything a library batch shares between its pictures.
struct LibraryBatch {
    const FilterOptions& options;
    const std::vector<PictureChoice>& chosen;
    const BatchProfiles& profiles;
    ProfileStore& store;
    ProfileCorrector& corrector;
    ProfileCounts& counts;
};

void CorrectChosen(LibraryBatch& batch, const PlannedPicture& picture, const PictureChoice& it,
                   ProgressReport& report) {
    const ProfileParts& parts = it.parts;
    if (parts.empty()) {
        throw Error(ErrorKind::Picture, "no lens profile serves it: " + it.choice.missing +
                                            ". Nothing was written; add a profile of it to " +
                                            Native(batch.options.profilesFolder).toStdString() +
                                            " or name one with --fallback.");
    }
    // Let go of what only this picture still needed, however it ends.
    struct Finish {
        LibraryBatch& batch;
        const ProfileParts& parts;
        ~Finish() {
            for (const ProfileParts& released : batch.store.Done(parts))
                batch.corrector.Forget(released);
        }
    } finish{batch, parts};
    batch.store.Start(parts);  // read while the picture before is corrected
    if (batch.options.explain) report.Note(ExplainLine(picture.input, it, batch.profiles.names));
    if (!it.choice.warning.empty()) {
        report.Warn(Native(picture.input) +
                    ": Warning: " + QString::fromStdString(it.choice.warning) + ".");
    }
    batch.corrector.Correct(
        picture.input, picture.output, RecipeOf(it),
        {batch.options.format, batch.options.quality, Durability::FlushLater},
        [&](const QString& note) { report.Warn(Native(picture.input) + ": Warning: " + note); });
    batch.counts.Add(parts);
}

}  // namespace

int RunLibraryFilterCommand(const FilterOptions& options) {
    OutputPlan plan =
        PlanOutputs(options.inputs, options.outputFile, options.outputFolder, options.fallbackFile,
                    FormatSuffix(options.format), "fallback lens profile");
    ProfileLibrary library;
    if (plan.refusal.isEmpty()) {
        try {
            library = ScanProfileLibrary(options.profilesFolder);
        } catch (const std::exception& error) {
            plan.refusal = QString::fromStdString(error.what());
        }
    }
    if (plan.refusal.isEmpty()) plan.refusal = LibraryClash(plan, library);
    if (!plan.refusal.isEmpty()) {
        ReportUsageError("nothing was done: " + plan.refusal, "filter");
        return kUsageError;
    }
    for (const QString& problem : library.problems)
        ReportProblem("Warning: " + problem + " It is left out of the library.");
    BatchProfiles profiles;
    try {
        profiles = ProfilesOf(library, options.fallbackFile);
    } catch (const std::exception& error) {
        ReportProblem("nothing was done: " + Explained(error));
        return kSomeFailed;
    }

    WorkPool pool(PoolThreads(options.jobs));
    MemoryBudget budget(options.memory);
    const std::vector<PictureChoice> chosen =
        ChooseForPictures(plan, library, profiles.fallback, pool, options.cubic);
    const std::vector<std::size_t> order = OrderOfPictures(chosen, profiles.headers);
    OutputPlan ordered;
    for (const std::size_t i : order)
        ordered.pictures.push_back(plan.pictures[i]);

    ProfileStore store(profiles.paths, profiles.headers, pool, budget);
    for (const PictureChoice& picture : chosen) {
        if (!picture.parts.empty()) store.Expect(picture.parts);
    }
    ProfileCorrector corrector(options.settings, store, pool, budget);
    ProfileCounts counts;
    LibraryBatch batch{options, chosen, profiles, store, corrector, counts};
    const int status = RunBatch(ordered, options.jobs, options.quiet, pool,
                                [&](const PlannedPicture& picture, ProgressReport& report) {
                                    const std::size_t at =
                                        std::size_t(&picture - ordered.pictures.data());
                                    CorrectChosen(batch, picture, chosen[order[at]], report);
                                });
    if (!options.quiet) counts.Print(profiles.names);
    return status;
}

}  // namespace velmora
