#include <QThread>
#include <algorithm>
#include <exception>
#include <map>
#include <mutex>

#include "cli/batch_run.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "correction/error.h"
#include "engine/library_batch.h"
#include "engine/memory_budget.h"
#include "engine/output_plan.h"
#include "engine/picture_correction.h"
#include "engine/shot_text.h"
#include "engine/work_pool.h"
#include "platform/native_path.h"

namespace velmora {

int PoolThreads(int jobs) {
    return std::max(jobs, QThread::idealThreadCount());
}

namespace {

// Each input's output name: the chosen format's suffix, or the input's own format's.
std::function<QString(const QString&)> SuffixFor(const FilterOptions& options) {
    return [&options](const QString& input) { return OutputSuffixFor(input, options.format); };
}

// How the options have each picture written.
PictureOutput OutputOf(const FilterOptions& options) {
    return {options.format, options.quality, Durability::FlushLater, options.gainMap};
}

}  // namespace

int RunProfileFilterCommand(const FilterOptions& options) {
    const OutputPlan plan = PlanOutputs(options.inputs, options.outputFile, options.outputFolder,
                                        options.profileFile, SuffixFor(options), "lens profile");
    if (!plan.refusal.isEmpty()) {
        ReportUsageError("nothing was done: " + plan.refusal, "filter");
        return kUsageError;
    }
    WorkPool pool(PoolThreads(options.jobs));
    MemoryBudget budget(options.memory);
    std::optional<SingleProfile> profile;
    try {
        profile.emplace(options.profileFile, budget);
    } catch (const std::exception& error) {
        ReportProblem("nothing was done: " + Explained(error));
        return kSomeFailed;
    }
    PictureCorrector corrector(options.settings, *profile, pool, budget, options.dark);
    std::mutex mutex;
    QString unreadable;  // why the profile cannot be read, which stops the batch
    const int status = RunBatch(
        plan, options.jobs, options.quiet, pool,
        [&](const PlannedPicture& picture, ProgressReport& report) {
            try {
                corrector.Correct(picture.input, picture.output, {{{0, 1.0}}, {}},
                                  OutputOf(options), [&](const QString& note) {
                                      report.Warn(Native(picture.input) + ": Warning: " + note);
                                  });
            } catch (const Error& error) {
                // The profile's rows are read as the first pictures need them: one that is
                // damaged stops the batch, and no picture was written with it.
                if (error.fields().file != options.profileFile.toStdString()) throw;
                const std::lock_guard lock(mutex);
                unreadable = Explained(error);
                throw BatchStopped();
            }
        });
    if (!unreadable.isEmpty()) {
        ReportProblem("nothing was done: " + unreadable);
        return kSomeFailed;
    }
    return status;
}

namespace {

QString ExplainLine(const QString& input, const LibraryPicture& picture,
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
        line += " (the fallback: " + QString::fromStdString(LackText(choice, picture.shot)) + ")";
    }
    return line;
}

void PrintCounts(const std::map<int, LibraryCorrector::Count>& counts,
                 const std::vector<QString>& names) {
    WriteLine(stdout, "Pictures per profile:");
    for (const auto& [profile, count] : counts) {
        WriteLine(stdout, QString("  %1: %2 (%3 alone, %4 in blends)")
                              .arg(names[std::size_t(profile)])
                              .arg(count.alone + count.blended)
                              .arg(count.alone)
                              .arg(count.blended));
    }
}

// The outputs must not replace a profile of the library; the library must be there.
QString Refusal(const OutputPlan& plan, const FilterOptions& options, ProfileLibrary& library) {
    if (!plan.refusal.isEmpty()) return plan.refusal;
    try {
        library = ScanProfileLibrary(options.profilesFolder);
    } catch (const std::exception& error) {
        return QString::fromStdString(error.what());
    }
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
    const OutputPlan plan =
        PlanOutputs(options.inputs, options.outputFile, options.outputFolder, options.fallbackFile,
                    SuffixFor(options), "fallback lens profile");
    ProfileLibrary library;
    if (const QString refusal = Refusal(plan, options, library); !refusal.isEmpty()) {
        ReportUsageError("nothing was done: " + refusal, "filter");
        return kUsageError;
    }
    for (const QString& problem : library.problems)
        ReportProblem("Warning: " + problem + " It is left out of the library.");
    BatchProfiles profiles;
    try {
        profiles = BatchProfiles::Of(library, options.fallbackFile);
    } catch (const std::exception& error) {
        ReportProblem("nothing was done: " + Explained(error));
        return kSomeFailed;
    }
    WorkPool pool(PoolThreads(options.jobs));
    MemoryBudget budget(options.memory);
    const std::vector<LibraryPicture> chosen =
        ChooseForPictures(options.inputs, profiles, pool, options.cubic);
    const std::vector<std::size_t> order = OrderOfPictures(chosen, profiles.headers);
    OutputPlan ordered;
    for (const std::size_t i : order)
        ordered.pictures.push_back(plan.pictures[i]);

    LibraryCorrector corrector(chosen, profiles, options.settings, pool, budget, options.dark);
    const PictureOutput out = OutputOf(options);
    const auto correct = [&](const PlannedPicture& picture, ProgressReport& report) {
        const LibraryPicture& it = chosen[order[std::size_t(&picture - ordered.pictures.data())]];
        if (it.parts.empty()) {
            throw Error(ErrorKind::Picture,
                        "no lens profile serves it: " + LackText(it.choice, it.shot) +
                            ". Nothing was written; add a profile of it to " +
                            Native(options.profilesFolder).toStdString() +
                            " or name one with --fallback.");
        }
        if (options.explain) report.Note(ExplainLine(picture.input, it, profiles.names));
        if (const std::string outside = OutsideText(it.choice); !outside.empty()) {
            report.Warn(Native(picture.input) + ": Warning: " + QString::fromStdString(outside) +
                        ".");
        }
        corrector.Correct(it, picture.input, picture.output, out, [&](const QString& note) {
            report.Warn(Native(picture.input) + ": Warning: " + note);
        });
    };
    const int status = RunBatch(ordered, options.jobs, options.quiet, pool, correct);
    if (!options.quiet) PrintCounts(corrector.counts(), profiles.names);
    return status;
}

}  // namespace velmora
