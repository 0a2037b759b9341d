#include "engine/profile_library.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <exception>

#include "correction/error.h"
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

}  // namespace velmora
