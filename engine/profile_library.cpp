#include "engine/profile_library.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <exception>
#include <mutex>
#include <new>

#include "correction/error.h"
#include "engine/work_pool.h"
#include "platform/lens_profile_file.h"
#include "platform/native_path.h"

namespace velmora {

ProfileLibrary ScanProfileLibrary(const QString& folder) {
    const QFileInfo info(folder);
    if (!info.isDir() || !info.isReadable()) {
        throw Error(ErrorKind::File,
                    ("the profile library " + Native(folder) +
                     (info.exists() ? " is not a folder that can be read." : " does not exist."))
                        .toStdString());
    }
    // What a save that did not finish leaves beside its file.
    static const QRegularExpression unfinished(R"(\.tmp-\d+-\d+$)");
    ProfileLibrary library;
    library.folder = folder;
    const QDir dir(folder);
    for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
        if (unfinished.match(name).hasMatch()) continue;
        const QString path = dir.filePath(name);
        try {
            library.profiles.push_back({path, ReadLensProfileHeader(path)});
        } catch (const std::exception& error) {
            library.problems << QString::fromStdString(error.what());
        }
    }
    return library;
}

QStringList ReadEveryProfile(const ProfileLibrary& library, WorkPool& pool,
                             const std::function<void(std::size_t, const LensProfile&)>& take) {
    QStringList problems = library.problems;
    std::mutex mutex;
    pool.ForEach(library.profiles.size(), [&](std::size_t i) {
        const QString& path = library.profiles[i].path;
        try {
            take(i, LoadLensProfile(path));
        } catch (const std::bad_alloc&) {
            const std::lock_guard lock(mutex);
            problems << "lens profile " + Native(path) + ": out of memory; read fewer at once.";
        } catch (const std::exception& error) {
            const std::lock_guard lock(mutex);
            problems << QString::fromStdString(error.what());
        }
    });
    problems.sort();
    return problems;
}

}  // namespace velmora
