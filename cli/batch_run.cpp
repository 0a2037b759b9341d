#include "cli/batch_run.h"

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <atomic>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <set>
#include <vector>

#include "cli/command_line.h"
#include "cli/console.h"
#include "correction/atomic_file.h"
#include "correction/error.h"
#include "platform/native_path.h"

namespace velmora {
namespace {

// The folders the outputs go to, each once.
std::set<std::filesystem::path> OutputFolders(const OutputPlan& plan) {
    std::set<std::filesystem::path> folders;
    for (const PlannedPicture& picture : plan.pictures) {
        folders.insert(
            std::filesystem::path(QFile::encodeName(picture.output).constData()).parent_path());
    }
    return folders;
}

}  // namespace

int RunBatch(const OutputPlan& plan, int jobs, bool quiet, WorkPool& pool,
             const std::function<void(const PlannedPicture&, ProgressReport&)>& correct) {
    const int total = int(plan.pictures.size());
    ProgressReport report(total, !quiet && ::isatty(STDERR_FILENO), !quiet, stderr);
    // Made before the first write, so that a write to disk that fails in the background while the
    // batch runs is reported by the flush at its end.
    std::vector<std::unique_ptr<FileSystemFlush>> flushes;
    for (const std::filesystem::path& folder : OutputFolders(plan))
        flushes.push_back(std::make_unique<FileSystemFlush>(folder));
    std::atomic<bool> stopped{false};
    pool.ForEach(
        std::size_t(total),
        [&](std::size_t i) {
            if (stopped) return;
            const PlannedPicture& picture = plan.pictures[i];
            try {
                // Each output replaces its name in one rename; the flush to disk is done once for
                // the whole batch below. Flushing every file on its own made a batch of 100
                // pictures 2.3 times as slow as decoding them, against 1.1 to 1.4 times without.
                correct(picture, report);
                report.Succeeded();
            } catch (const BatchStopped&) {
                stopped = true;
            } catch (const std::bad_alloc&) {
                report.Failed(Native(picture.input) +
                              ": Out of memory: fewer --jobs leave more memory to each picture.");
            } catch (const std::exception& error) {
                report.Failed(Native(picture.input) + ": " + Explained(error));
            }
        },
        jobs);
    if (stopped) {
        report.Abandon();
        return kSomeFailed;
    }
    bool flushed = true;
    for (const auto& flush : flushes) {
        try {
            flush->Flush();
        } catch (const Error& error) {
            ReportProblem(QString::fromStdString(error.what()) +
                          " The pictures written there may be lost at a power failure.");
            flushed = false;
        }
    }
    report.Finish();
    return report.failed() == 0 && flushed ? kAllDone : kSomeFailed;
}

}  // namespace velmora
