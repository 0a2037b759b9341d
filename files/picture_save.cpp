#include "files/picture_save.h"

#include <QDir>

#include "correction/error.h"
#include "platform/picture_file.h"

namespace velmora {

void SaveWorkingPicture(const Bitmap* picture, const QString& path) {
    if (picture == nullptr) {
        const QString where = path.isEmpty() ? QString() : QDir::toNativeSeparators(path) + ": ";
        throw Error(ErrorKind::Picture,
                    (where + "no picture is loaded, so nothing was saved.").toStdString());
    }
    SavePictureAsBitmapFile(*picture, path);
}

}  // namespace velmora
