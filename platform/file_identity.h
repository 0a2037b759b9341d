#pragma once

#include <QString>

namespace velmora {

// A key that two names share exactly when they reach the same file, existing or not yet:
// through symbolic links, hard links, "..", and relative or absolute spellings alike.
QString FileIdentity(const QString& path);

}  // namespace velmora
