#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "correction/profile_choice.h"
#include "engine/picture_correction.h"
#include "engine/profile_correction.h"
#include "engine/profile_library.h"
#include "engine/profile_store.h"

namespace velmora {

class WorkPool;

// The profiles of a batch by a library: the library's, then the fallback's, if any.
struct BatchProfiles {
    std::vector<QString> paths;
    std::vector<QString> names;  // the files' own names
    std::vector<LensProfile> headers;
    int fallback = -1;

    // Raises as ReadLensProfileHeader does for a fallback that is not a lens profile.
    static BatchProfiles Of(const ProfileLibrary& library, const QString& fallbackFile);
};

// What one picture of the batch takes: the profiles of its camera, lens and settings (see
// ChooseProfiles), or the fallback where none of the library serves it.
struct LibraryPicture {
    ShotSettings shot;
    ProfileChoice choice;
    bool fallback = false;
    ProfileParts parts;  // empty: nothing serves it
};

// Reads each input's settings, on the pool's threads, and chooses for it.
std::vector<LibraryPicture> ChooseForPictures(const QStringList& inputs,
                                              const BatchProfiles& profiles, WorkPool& pool,
                                              bool cubic);

// The order to correct them in: the pictures of one choice one after another, so that each
// profile is read and each blend made once and let go when the last picture that needs it is
// done; choices lens by lens and along the f-numbers, so that only a few neighbouring profiles
// are held at a time (files named by aperture first would otherwise interleave the lenses).
// Those none serves go first.
std::vector<std::size_t> OrderOfPictures(const std::vector<LibraryPicture>& pictures,
                                         const std::vector<LensProfile>& headers);

// Corrects the pictures of a batch by a library in the order planned: their profiles read as
// they are needed and let go after their last picture, and counted.
class LibraryCorrector {
  public:
    LibraryCorrector(const std::vector<LibraryPicture>& pictures, const BatchProfiles& profiles,
                     const CorrectionSettings& settings, WorkPool& pool, MemoryBudget& budget,
                     const QString& dark = {});

    // Corrects `input` (whose choice has parts) into `output`; see ProfileCorrector::Correct.
    void Correct(const LibraryPicture& picture, const QString& input, const QString& output,
                 const PictureOutput& out, const std::function<void(const QString&)>& warn);

    // How many pictures took each profile, alone and in blends.
    struct Count {
        int alone = 0;
        int blended = 0;
    };
    std::map<int, Count> counts() const;

  private:
    ProfileStore store_;
    PictureCorrector corrector_;
    mutable std::mutex mutex_;
    std::map<int, Count> counts_;
};

}  // namespace velmora
