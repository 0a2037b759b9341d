#pragma once

#include <QByteArray>
#include <QString>
#include <vips/vips8>

#include "platform/photo_file.h"

namespace velmora {

// What an opened photograph keeps of its file: the library's lazily decoded picture, and the
// file's bytes where the library reads it from memory.
struct PhotoFile::Decoder {
    vips::VImage image;
    QByteArray encoded;
};

// The library's message without its trailing newline and repeated lines.
QString LibraryReason(const vips::VError& error);

// Raises ErrorKind::Picture: the pixel data of `path` cannot be decoded, for `reason`.
[[noreturn]] void RefuseDamaged(const QString& path, const QString& reason);

}  // namespace velmora
