#pragma once

#include <QDir>
#include <QString>

namespace velmora {

// A path as the user's system writes it, for messages.
inline QString Native(const QString& path) {
    return QDir::toNativeSeparators(path);
}

}  // namespace velmora
