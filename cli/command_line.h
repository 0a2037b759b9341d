#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "correction/cfa_planes.h"
#include "correction/correction_map.h"
#include "correction/filtering.h"
#include "correction/frame_combine.h"
#include "correction/lens_profile.h"
#include "engine/correction_settings.h"
#include "platform/photo_file.h"

namespace velmora {

// What the batch program's process returns.
enum ExitStatus : int {
    kAllDone = 0,     // every picture (or the one tuning) done
    kSomeFailed = 1,  // at least one picture, the map or the tuning failed; the rest were done
    kUsageError = 2,  // the command line cannot be carried out; nothing was read or written
};

// The widest box --smooth takes: a radius of the map's width in pixels already averages a row
// of any picture the map serves from end to end.
inline constexpr int kLargestSmoothRadius = kMapRowBytes / 3;

// The widest smoothing of a lens profile's flat.
inline constexpr int kLargestProfileSmoothRadius = 2000;

struct TuneOptions {
    QString reference;
    QString mapFile;
    QString previewFile;   // empty: no preview
    int smoothRadius = 0;  // 0: the reference is tuned as it is read in
    // A lens profile instead of the map: from every reference, smoothed by `smoothRadius`, or,
    // when it is not set, by a radius that suits the references' size.
    QString profileFile;  // empty: the map
    QStringList references;
    bool smoothSet = false;
    // Shot settings given on the command line; they replace what the references' EXIF says.
    ShotSettings shot;
    bool force = false;  // take references that disagree on their settings together
    QString dark;        // raw references: a dark frame subtracted from each
    PlaneLevel level = PlaneLevel::Centre;
    // Frames (FITS, float TIFF): every --dark, averaged, and the bias, subtracted from each.
    QStringList darks;
    QString bias;
    bool darkScale = false;  // the dark less the bias scaled by exposure
};

// How `filter` corrects each picture by the map: the window's filtering in one of its modes, or
// the gain.
enum class Correction { Filtering, Gain };

struct FilterOptions {
    QStringList inputs;
    QString outputFile;    // only with a single input
    QString outputFolder;  // empty: each output beside its input
    int jobs = 1;
    bool quiet = false;
    // By the map:
    QString mapFile;
    Correction correction = Correction::Filtering;
    FilterMode mode = FilterMode::PlainAdd;  // Filtering only
    QString strength;
    // Or by a lens profile:
    QString profileFile;  // empty: the map
    // Or by a library of lens profiles, each picture taking the one its EXIF calls for:
    QString profilesFolder;  // empty: none
    QString fallbackFile;    // for pictures no profile of the library serves; empty: none
    bool explain = false;    // say per picture which profiles it took
    bool cubic = true;       // the monotone cubic between f-numbers where it can, else the blend
    CorrectionSettings settings;
    std::optional<PhotoFormat> format;  // none: each input's own (a raw file's: DNG)
    int quality = 95;
    QString dark;             // raw pictures: a dark frame subtracted from each
    QStringList darks;        // frames: every --dark, averaged
    QString bias;             // frames: a bias frame
    bool darkScale = false;   // frames: the dark less the bias scaled by exposure
    bool gainMap = false;     // DNG inputs: the raw data kept, the gains added as a GainMap
    std::int64_t memory = 0;  // the budget, in bytes

    bool byProfile() const { return !profileFile.isEmpty() || !profilesFolder.isEmpty(); }
};

// `profiles`: a table of a library of lens profiles, or a picture of one profile.
struct ProfilesOptions {
    QString folder;      // the table of this folder's profiles
    QString plotFile;    // or the picture of this profile ...
    QString plotOutput;  // ... written here as PNG
    int jobs = 1;
};

// `master`: frames combined place by place into a master frame.
struct MasterOptions {
    QStringList frames;
    QString output;
    CombineRule rule;
    enum class Scale { None, Mean, Median } scale = Scale::None;
    int jobs = 1;
};

struct CommandLine {
    enum class Action { ShowHelp, ShowVersion, Tune, Filter, Profiles, Master, UsageError };
    Action action = Action::UsageError;
    QString text;     // the help or version text, or what is wrong with the command line
    QString command;  // "tune", "filter" or empty, for pointing at the right help
    TuneOptions tune;
    FilterOptions filter;
    ProfilesOptions profiles;
    MasterOptions master;
};

// Reads `arguments` (program name first):
// `tune REFERENCE [--map FILE] [--preview OUT.bmp] [--smooth RADIUS]`,
// `tune REFERENCE... --profile FILE [--smooth RADIUS] [--make TEXT] [--model TEXT]
// [--lens TEXT] [--focal-length MM] [--f-number N] [--focus-distance M] [--force]`,
// `filter [--map FILE] [--mode plain|offset|scale|gain] [--strength PERCENT]
// [--output FILE | --output-dir DIR] [--jobs N] [--quiet] INPUT...` or
// `filter --profile FILE [--correct both|luminance|colour] [--space linear|code]
// [--format bmp|png|tiff|jpeg] [--quality N] [--crop centre] [--memory SIZE]
// [--output FILE | --output-dir DIR] [--jobs N] [--quiet] INPUT...`, the same with
// `--profiles DIR [--fallback FILE] [--explain] [--interpolate cubic|linear]` in place of
// `--profile FILE`, `profiles DIR`, `profiles --plot PROFILE OUT.png` or `master --method
// mean|median|sigma-clip|winsorized [--low K] [--high K] [--scale none|mean|median]
// --output MASTER FRAME...`, plus --help and
// --version.
// Looks at no file: what the files allow is decided when the command runs.
CommandLine ParseCommandLine(const QStringList& arguments);

}  // namespace velmora
