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
#include "cli/job_runner.h"
#include "cli/output_plan.h"
#include "cli/profile_filter_command.h"
#include "cli/profile_library.h"
#include "cli/profile_store.h"
#include "correction/error.h"
#include "correction/profile_choice.h"
#include "platform/lens_profile_file.h"
#include "platform/photo_metadata.h"

namespace velmora {
namespace {

QString Native(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// What each picture takes, in the order of the plan.
struct PictureChoice {
    ShotSettings shot;
    ProfileChoice choice;
    bool fallback = false;  // none of the library served it
    QString key;            // ProfileStore::KeyOf its parts
};

std::vector<PictureChoice> ChooseForPictures(const OutputPlan& plan, const ProfileLibrary& library,
                                             int fallbackIndex, int jobs, bool cubic) {
    const std::vector<ShotSettings> shots = library.shots();
    std::vector<PictureChoice> chosen(plan.pictures.size());
    // Reading EXIF waits on the disk more than on the processor.
    RunJobs(int(chosen.size()), std::max(jobs, 4), [&](int i) {
        PictureChoice& picture = chosen[std::size_t(i)];
        picture.shot = ReadShotSettings(plan.pictures[std::size_t(i)].input);
        picture.choice = ChooseProfiles(picture.shot, shots, cubic);
        if (picture.choice.parts.empty() && fallbackIndex >= 0) {
            picture.choice.parts = {{fallbackIndex, 1.0}};
            picture.fallback = true;
        }
        picture.key = ProfileStore::KeyOf(picture.choice.parts);
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
        for (const ProfileChoice::Part& part : parts)
            ++(parts.size() == 1 ? alone_ : blended_)[part.profile];
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

    std::vector<QString> paths, names;
    std::vector<LensProfile> headers;
    for (const LibraryProfile& profile : library.profiles) {
        paths.push_back(profile.path);
        headers.push_back(profile.header);
    }
    int fallbackIndex = -1;
    if (!options.fallbackFile.isEmpty()) {
        try {
            headers.push_back(ReadLensProfileHeader(options.fallbackFile));
        } catch (const std::exception& error) {
            ReportProblem("nothing was done: " + QString::fromStdString(error.what()));
            return kSomeFailed;
        }
        fallbackIndex = int(paths.size());
        paths.push_back(options.fallbackFile);
    }
    for (const QString& path : paths)
        names.push_back(QFileInfo(path).fileName());

    // The pictures of one choice one after another: each profile is read and each blend made
    // once, and let go when the last picture that needs it is done. Choices go lens by lens and
    // along the f-numbers, so that only a few neighbouring profiles are held at a time (files
    // named by aperture first would otherwise interleave the lenses). Those none serves go
    // first.
    const std::vector<PictureChoice> chosen =
        ChooseForPictures(plan, library, fallbackIndex, options.jobs, options.cubic);
    // Made once per picture, not once per comparison.
    using OrderKey = std::tuple<bool, std::string, double, double, QString>;
    std::vector<OrderKey> orderKeys;
    for (const PictureChoice& picture : chosen) {
        const ProfileParts& parts = picture.choice.parts;
        const ShotSettings& first =
            parts.empty() ? ShotSettings{} : headers[std::size_t(parts.front().profile)].shot;
        orderKeys.emplace_back(!parts.empty(), first.make + '\n' + first.model + '\n' + first.lens,
                               first.focalLength, first.fNumber, picture.key);
    }
    std::vector<std::size_t> order(chosen.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return orderKeys[a] < orderKeys[b]; });
    OutputPlan ordered;
    for (const std::size_t i : order)
        ordered.pictures.push_back(plan.pictures[i]);

    ProfileStore store(paths);
    for (const PictureChoice& picture : chosen) {
        if (!picture.choice.parts.empty()) store.Expect(picture.choice.parts);
    }
    ProfileCorrector corrector(options);
    ProfileCounts counts;
    const int status = RunBatch(
        ordered, options.jobs, options.quiet,
        [&](const PlannedPicture& picture, ProgressReport& report) {
            const PictureChoice& it =
                chosen[order[std::size_t(&picture - ordered.pictures.data())]];
            const ProfileParts& parts = it.choice.parts;
            if (parts.empty()) {
                throw Error(ErrorKind::Picture,
                            "no lens profile serves it: " + it.choice.missing +
                                ". Nothing was written; add a profile of it to " +
                                Native(options.profilesFolder).toStdString() +
                                " or name one with --fallback.");
            }
            // Let go of what only this picture still needed, however it ends.
            struct Finish {
                ProfileStore& store;
                ProfileCorrector& corrector;
                const ProfileParts& parts;
                ~Finish() {
                    for (const QString& released : store.Done(parts))
                        corrector.Forget(released);
                }
            } finish{store, corrector, parts};
            store.Start(parts);  // read while the picture decodes
            if (options.explain) report.Note(ExplainLine(picture.input, it, names));
            if (!it.choice.warning.empty()) {
                report.Warn(Native(picture.input) +
                            ": Warning: " + QString::fromStdString(it.choice.warning) + ".");
            }
            thread_local std::vector<std::uint8_t> spare;
            Photo photo = ReadPhoto(picture.input, true, std::move(spare));
            std::vector<ProfileCorrector::Part> weighted;
            for (const ProfileChoice::Part& part : parts) {
                weighted.push_back({ProfileStore::KeyOf({{part.profile, 1.0}}),
                                    &headers[std::size_t(part.profile)].flat,
                                    [&store, index = part.profile] { return store.Get(index); },
                                    part.weight,
                                    [&store, index = part.profile] {
                                        store.Served({{index, 1.0}});
                                    }});
            }
            std::optional<MonotoneCubic> cubic;
            if (!it.choice.cubicNodes.empty()) {
                cubic.emplace(it.choice.cubicNodes, it.choice.cubicAt);
            }
            corrector.Correct(photo, picture.input, it.key, weighted, report,
                              cubic ? &*cubic : nullptr);
            WritePhoto(photo, picture.output, options.format, options.quality,
                       Durability::FlushLater);
            spare = std::move(photo.bytes);
            counts.Add(parts);
        });
    if (!options.quiet) counts.Print(names);
    return status;
}

}  // namespace velmora
