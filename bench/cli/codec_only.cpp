// The yardstick of velmora-cli's speed on photographs: decodes each picture and encodes it again
// with the same library calls (PhotoFile::Open, WritePhoto, a strip at a time), the same number
// at a time, and nothing in between. What velmora-cli takes beyond this is the cost of its
// correction.
//
//   velmora_codec_only [--jobs N] --format jpeg|tiff|png [--quality Q] --output-dir DIR INPUT...
//
// Prints the pictures done and the peak memory (max RSS) of the process.

#include <sys/resource.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <vector>

#include "correction/atomic_file.h"
#include "engine/picture_memory.h"
#include "engine/work_pool.h"
#include "platform/photo_file.h"
#include "platform/photo_writer.h"

namespace {

int Usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--jobs N] --format jpeg|tiff|png [--quality Q] --output-dir DIR "
                 "INPUT...\n",
                 program);
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    // The same allocator setting and library start as velmora-cli, so only the correction differs.
    velmora::ReusePictureBuffers();
    QCoreApplication application(argc, argv);
    velmora::StartPhotoLibrary(argv[0]);

    int jobs = QThread::idealThreadCount();
    int quality = 95;
    velmora::PhotoFormat format = velmora::PhotoFormat::Jpeg;
    bool formatSet = false;
    QString folder;
    QStringList inputs;
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--jobs" && hasValue) {
            jobs = arguments[++i].toInt();
        } else if (argument == "--quality" && hasValue) {
            quality = arguments[++i].toInt();
        } else if (argument == "--output-dir" && hasValue) {
            folder = arguments[++i];
        } else if (argument == "--format" && hasValue) {
            formatSet = velmora::FormatForSuffix("x." + arguments[++i], &format);
        } else {
            inputs << argument;
        }
    }
    if (inputs.isEmpty() || jobs < 1 || folder.isEmpty() || !formatSet) return Usage(argv[0]);

    const QString suffix = velmora::FormatSuffix(format);
    // velmora-cli flushes its outputs once at the end of a batch; so does this.
    const velmora::FileSystemFlush flush(
        std::filesystem::path(QFile::encodeName(folder).constData()));
    std::atomic<int> failed{0};
    velmora::WorkPool pool(std::max(jobs, QThread::idealThreadCount()));
    pool.ForEach(
        std::size_t(inputs.size()),
        [&](std::size_t i) {
            try {
                const QString& input = inputs[qsizetype(i)];
                velmora::WritePhoto(
                    velmora::PhotoFile::Open(input), {},
                    QDir(folder).filePath(QFileInfo(input).fileName() + "." + suffix), format,
                    quality, velmora::Durability::FlushLater);
            } catch (const std::exception& error) {
                std::fprintf(stderr, "%s\n", error.what());
                ++failed;
            }
        },
        jobs);
    flush.Flush();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("re-encoded %d pictures; peak memory %ld kB\n", int(inputs.size()) - failed.load(),
                usage.ru_maxrss);
    return failed == 0 ? 0 : 1;
}
