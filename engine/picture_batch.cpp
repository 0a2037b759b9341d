#include "engine/picture_batch.h"

#include <QFile>
#include <atomic>
#include <filesystem>
#include <memory>
#include <set>

#include "correction/atomic_file.h"
#include "engine/work_pool.h"

namespace velmora {

BatchEnd RunPictures(const std::vector<QString>& outputs, int jobs, WorkPool& pool,
                     const std::function<void(std::size_t)>& correct,
                     const std::function<void(std::size_t, std::exception_ptr)>& done) {
    // Made before the first write, so that a write to disk that fails in the background while the
    // batch runs is reported by the flush at its end.
    std::set<std::filesystem::path> folders;
    for (const QString& output : outputs)
        folders.insert(std::filesystem::path(QFile::encodeName(output).constData()).parent_path());
    std::vector<std::unique_ptr<FileSystemFlush>> flushes;
    for (const std::filesystem::path& folder : folders)
        flushes.push_back(std::make_unique<FileSystemFlush>(folder));
    std::atomic<bool> stopped{false};
    pool.ForEach(
        outputs.size(),
        [&](std::size_t i) {
            if (stopped) return;
            std::exception_ptr error;
            try {
                correct(i);
            } catch (const BatchStopped&) {
                stopped = true;
                return;
            } catch (...) {
                error = std::current_exception();
            }
            done(i, error);
        },
        jobs);
    BatchEnd end;
    end.stopped = stopped;
    if (end.stopped) return end;
    for (const auto& flush : flushes) {
        try {
            flush->Flush();
        } catch (...) {
            end.unflushed.push_back(std::current_exception());
        }
    }
    return end;
}

}  // namespace velmora
