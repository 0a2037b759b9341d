#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

#include "correction/lens_profile.h"

namespace velmora {

class WorkPool;

// One profile of a library: its file and what its description tells (the flat's values are
// read only when a picture needs them).
struct LibraryProfile {
    QString path;
    LensProfile header;
};

// The lens profiles of a folder, sorted by file name.
struct ProfileLibrary {
    QString folder;
    std::vector<LibraryProfile> profiles;
    QStringList problems;  // one line per file of the folder that is not a lens profile
};

// Reads the description of every file in `folder` (not its subfolders; hidden files and
// temporary files of unfinished saves left out). Raises ErrorKind::File naming the folder when
// it cannot be listed.
ProfileLibrary ScanProfileLibrary(const QString& folder);

// Reads every profile of `library` whole, which also proves its checksum, on the pool's
// threads, and hands each to `take` on the thread that read it. Returns the library's problems
// and those of each profile that cannot be read, sorted.
QStringList ReadEveryProfile(const ProfileLibrary& library, WorkPool& pool,
                             const std::function<void(std::size_t, const LensProfile&)>& take);

}  // namespace velmora
