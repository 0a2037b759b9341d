#pragma once

#include <QString>
#include <QStringList>

#include "correction/correction_map.h"
#include "correction/filtering.h"

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

struct TuneOptions {
    QString reference;
    QString mapFile;
    QString previewFile;   // empty: no preview
    int smoothRadius = 0;  // 0: the reference is tuned as it is read in
};

// How `filter` corrects each picture: the window's filtering in one of its modes, or the gain.
enum class Correction { Filtering, Gain };

struct FilterOptions {
    QString mapFile;
    Correction correction = Correction::Filtering;
    FilterMode mode = FilterMode::PlainAdd;  // Filtering only
    QString strength;
    QString outputFile;    // only with a single input
    QString outputFolder;  // empty: each output beside its input
    int jobs = 1;
    bool quiet = false;
    QStringList inputs;
};

struct CommandLine {
    enum class Action { ShowHelp, ShowVersion, Tune, Filter, UsageError };
    Action action = Action::UsageError;
    QString text;     // the help or version text, or what is wrong with the command line
    QString command;  // "tune", "filter" or empty, for pointing at the right help
    TuneOptions tune;
    FilterOptions filter;
};

// Reads `arguments` (program name first):
// `tune REFERENCE [--map FILE] [--preview OUT.bmp] [--smooth RADIUS]` or
// `filter [--map FILE] [--mode plain|offset|scale|gain] [--strength PERCENT]
// [--output FILE | --output-dir DIR] [--jobs N] [--quiet] INPUT...`, plus --help and --version.
// Looks at no file: what the files allow is decided when the command runs.
CommandLine ParseCommandLine(const QStringList& arguments);

}  // namespace velmora
