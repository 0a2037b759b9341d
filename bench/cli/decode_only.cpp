// The yardstick of the batch program's speed: decodes the pictures with the same decoder
// (LoadPictureFile), the same number at a time, and does nothing else with them.
//
//   velmora_decode_only [--jobs N] INPUT...

#include <QCoreApplication>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <exception>

#include "engine/picture_memory.h"
#include "engine/work_pool.h"
#include "platform/picture_file.h"

int main(int argc, char* argv[]) {
    // The same allocator setting as velmora-cli, so that only the filtering and saving differ.
    velmora::ReusePictureBuffers();
    QCoreApplication application(argc, argv);
    QStringList inputs = QCoreApplication::arguments().mid(1);
    int jobs = QThread::idealThreadCount();
    if (inputs.size() >= 2 && inputs.front() == "--jobs") {
        jobs = inputs[1].toInt();
        inputs = inputs.mid(2);
    }
    if (inputs.isEmpty() || jobs < 1) {
        std::fprintf(stderr, "usage: %s [--jobs N] INPUT...\n", argv[0]);
        return 2;
    }

    std::atomic<int> failed{0};
    std::atomic<long long> bytes{0};
    velmora::WorkPool pool(jobs);
    pool.ForEach(std::size_t(inputs.size()), [&](std::size_t i) {
        try {
            const velmora::LoadedPicture picture = velmora::LoadPictureFile(inputs[qsizetype(i)]);
            bytes += static_cast<long long>(picture.bitmap.byteCount());
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
            ++failed;
        }
    });
    std::printf("decoded %lld pictures, %lld bytes\n",
                static_cast<long long>(inputs.size()) - failed, bytes.load());
    return failed == 0 ? 0 : 1;
}
