#include "platform/file_identity.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace velmora {

QString FileIdentity(const QString& path) {
    // An existing file is known by its inode, which every link to it shares.
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) == 0) {
        return QString("inode %1:%2").arg(status.st_dev).arg(status.st_ino);
    }
    // A file still to be written is known by its folder, resolved, and its own name.
    const QFileInfo info(path);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (folder.isEmpty()) return "path " + QDir::cleanPath(info.absoluteFilePath());
    return "path " + QDir(folder).filePath(info.fileName());
}

}  // namespace velmora
