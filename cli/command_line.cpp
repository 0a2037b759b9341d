#include "cli/command_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>

#include "engine/memory_budget.h"
#include "platform/library_versions.h"

namespace velmora {
namespace {

const char kDescription[] =
    "Evens out vignetting with a correction map measured once from a reference picture.\n"
    "\n"
    "Commands:\n"
    "  tune     measure the correction map from a reference picture and store it, or, with\n"
    "           --profile, a lens profile from references of any size and depth\n"
    "  filter   add the stored map onto pictures and save each one as a BMP file, or, with\n"
    "           --profile, correct pictures of any size by the lens profile's gain, or with\n"
    "           --profiles, by the profiles of their camera, lens and aperture\n"
    "  profiles list a folder of lens profiles, or draw one profile as a picture\n"
    "  master   combine calibration frames (flats, darks, bias) into a master frame\n"
    "\n"
    "Run 'velmora-cli COMMAND --help' for the options of a command.";

const char kTuneDescription[] =
    "Measures the correction map from REFERENCE against its centre pixel and stores it.\n"
    "Cells outside the reference's area keep what the map file held. Beside the map, FILE.json\n"
    "records the reference's size and centre bytes, for filter's gain mode and size check.\n"
    "\n"
    "With --profile FILE, measures a lens profile instead, for pictures of any size and depth:\n"
    "the references (grey cards or a white wall shot through the lens, all of one size) are\n"
    "averaged in linear light, smoothed, and stored at full resolution as a 16-bit TIFF, with\n"
    "the camera, lens, focal length, f-number and focus distance their EXIF records (for\n"
    "filter --profiles). References shot with other settings are refused unless --force.\n"
    "Raw references (DNG, CR2, NEF, ARW, RAF, ...) give a raw profile instead: the signal above\n"
    "black (or --dark) of every sample, kept and smoothed per position of the colour filter\n"
    "array, for correcting raw pictures of that layout.\n"
    "Frames (FITS, 32-bit float TIFF) give a flat instead: the references less the dark-flat\n"
    "(--dark) or bias, averaged place by place, smoothed only when --smooth says so, normalised\n"
    "to each channel's (or CFA position's) centre or --level mean, and written as a 32-bit\n"
    "float frame (FITS or TIFF by the suffix of FILE). From two references or more it also\n"
    "prints the sensor's PRNU, and with two --dark frames (or a master of several) its DSNU,\n"
    "by EMVA 1288.";

const char kFilterDescription[] =
    "Adds the stored correction map onto each INPUT (or, in gain mode, multiplies each INPUT\n"
    "by it) and writes the result as a BMP file: INPUT.bmp beside each input, or the file or\n"
    "folder given.\n"
    "\n"
    "With --profile FILE, multiplies each INPUT, in linear light, by the gain that brings the\n"
    "lens profile's flat up to its centre level, at any size and in 8 or 16 bits, and writes it\n"
    "in its own format (or --format): INPUT.<suffix> beside each input, or the file or folder\n"
    "given. EXIF, XMP, IPTC and the colour profile go along into PNG, TIFF and JPEG; BMP cannot\n"
    "hold them. A raw INPUT is corrected on its own samples, per position of its colour filter\n"
    "array, by a raw profile, and written as a DNG (INPUT.dng).\n"
    "Frames (FITS, 32-bit float TIFF) are calibrated by a flat of frames (or any master flat):\n"
    "(INPUT - dark or bias) x level / flat, written as 32-bit float in the input's own format\n"
    "with its header cards and HISTORY, neither rounded nor cut at full scale.";

const char kProfilesDescription[] =
    "Lists the lens profiles of DIR: camera, lens, focal length, f-number, size, the corners'\n"
    "falloff in EV per channel and their colour cast (red and blue against green, in EV), and\n"
    "reports each file of DIR that is not a valid lens profile.\n"
    "\n"
    "With --plot PROFILE OUT.png, draws the profile instead: its falloff as a false-colour map in\n"
    "EV with contour lines, beside the falloff of each channel from the centre to the corners.";

const char kMasterDescription[] =
    "Combines FRAMEs (FITS, TIFF of 8, 16 or 32-bit float, or raw files, all of one size) place\n"
    "by place into a 32-bit float master frame: FITS when MASTER ends in .fits, .fit or .fts,\n"
    "else TIFF. mean and median (an even count: the mean of the two middle values) take every\n"
    "value; sigma-clip leaves out, again and again until none is left out, the values below\n"
    "median - low x sigma or above median + high x sigma of those still kept (sigma their\n"
    "standard deviation, dividing by their count), then takes the mean of the rest; winsorized\n"
    "moves such values onto those bounds instead, again and again, then takes the mean. Values\n"
    "that are not a number take no part. The master carries the first frame's header and\n"
    "records the method, K, the frames and the values rejected. A band of rows of every frame\n"
    "is held at a time, never the frames whole.";

using Option = QCommandLineOption;

const Option kMap("map", "Correction map file (default: data.dat in the current folder).", "FILE",
                  "data.dat");
const Option kJobs({"j", "jobs"}, "Pictures in flight at once (default: one per processor core).",
                   "N");

const QList<Option> kTuneOptions{
    kMap,
    Option("preview", "Also write the map's picture (the preview) as BMP.", "OUT.bmp"),
    Option("smooth",
           "Low-pass the reference before measuring: two box passes of 2 x RADIUS + 1 pixels per "
           "colour, so that its noise stays out of the map (default 0: measured as it is; 8 suits "
           "a grey card).",
           "RADIUS", "0"),
    Option("profile",
           "Measure a lens profile into FILE (a 16-bit TIFF) from every REFERENCE instead of the "
           "map. Its --smooth defaults to the references' longer side / 300 (at least 2): 20 for "
           "6000 x 4000; 0 keeps every detail. Raw references (DNG, CR2, NEF, ARW, RAF, ...) "
           "give a raw profile, kept per position of the colour filter array, for raw pictures.",
           "FILE"),
    Option("dark",
           "With --profile: subtract the dark frame DARK (same size) from each reference: for "
           "raw references a raw dark of the same camera, in place of the black level; for "
           "frames (FITS, float TIFF) a dark-flat, or a master. Frames take it more than once: "
           "the darks are averaged.",
           "DARK"),
    Option("bias", "With --profile and frames: subtract the bias frame BIAS from each.", "BIAS"),
    Option("dark-scale",
           "With frames, --dark and --bias: exposure subtracts BIAS + (DARK - BIAS) x t / t_dark, "
           "the exposure times from FITS EXPTIME (or EXPOSURE) or EXIF ExposureTime; none "
           "(default) subtracts DARK.",
           "none|exposure", "none"),
    Option("level",
           "With --profile: what each channel (raw: each CFA position) is normalised to: centre "
           "(default) or its mean over the frame.",
           "centre|mean", "centre"),
};

// How the references of a lens profile were shot, for references without EXIF or with wrong
// EXIF.
const QList<Option> kShotOptions{
    Option("make",
           "With --profile: the camera's make as its EXIF writes it, in place of the references'.",
           "TEXT"),
    Option("model", "With --profile: the camera's model, likewise.", "TEXT"),
    Option("lens", "With --profile: the lens's name, likewise.", "TEXT"),
    Option("focal-length", "With --profile: the focal length in millimetres.", "MM"),
    Option("f-number", "With --profile: the f-number (2.8 for f/2.8).", "N"),
    Option("focus-distance", "With --profile: the focus distance in metres.", "M"),
    Option("force",
           "Take references that disagree on camera, lens, focal length, f-number or focus "
           "distance together (the first one's are kept)."),
};

const QList<Option> kFilterOptions{
    kMap,
    Option("mode",
           "plain: sums above 255 are cut to 255 (default); offset: every sum is shifted down by "
           "the strength's share of the brightest sum's excess; scale: every sum is scaled so "
           "that the point the strength sets lands on 255; gain: every byte is multiplied by how "
           "much the reference was darkened at its place (needs the map's FILE.json from tune).",
           "plain|offset|scale|gain", "plain"),
    Option("strength",
           "Share of the brightest sum's excess over 255, in percent, for offset and scale "
           "(default 30; '.' as the decimal point).",
           "PERCENT", "30"),
    Option({"o", "output"}, "Write the one INPUT's result to FILE.", "FILE"),
    Option({"d", "output-dir"},
           "Write each result to DIR/<input file name>.bmp (with --profile, the format's suffix).",
           "DIR"),
    kJobs,
    Option({"q", "quiet"}, "Print only failures and warnings about a result."),
    Option("profile", "Correct by the lens profile FILE (from tune --profile) instead of the map.",
           "FILE"),
    Option("profiles",
           "Correct each picture by the lens profiles of the folder DIR that match its camera and "
           "lens (from its EXIF): the one of its focal length and f-number, or the two (for a "
           "zoom up to four) measured around them, their gains blended in log space linearly in "
           "log2 f-number and log focal length; outside the measured range the nearest, with a "
           "warning. Takes every option of --profile.",
           "DIR"),
    Option("fallback",
           "With --profiles: the lens profile for pictures that none of the library serves (no "
           "EXIF, or a camera or lens without a profile); without it they are reported and not "
           "written.",
           "FILE"),
    Option("explain",
           "With --profiles: one line per picture with the profiles it took and their weights, "
           "and a count of pictures per profile at the end."),
    Option("interpolate",
           "With --profiles, between two measured f-numbers: cubic (default) takes the monotone "
           "cubic in log2 f-number through the two and the next measured on each side, where "
           "three or more were measured at the picture's focal length; linear blends the two "
           "alone.",
           "cubic|linear", "cubic"),
    Option("correct",
           "With --profile: both (default) brings every channel up to its centre level; "
           "luminance corrects the falloff alone (one gain per place, a colour cast stays); "
           "colour corrects the colour cast alone (the falloff stays).",
           "both|luminance|colour", "both"),
    Option("space",
           "With --profile: linear (default) applies the gain to light, through the picture's "
           "transfer curve (its colour profile's, sRGB without one); code multiplies the values "
           "themselves, for data that is linear or of unknown curve.",
           "linear|code", "linear"),
    Option("format",
           "With --profile: the output format (default: each input's own, a raw file's DNG, "
           "or what --output's suffix names). 16-bit pictures need png or tiff; bmp carries no "
           "metadata. A raw file given a format is corrected, then developed (camera white "
           "balance, sRGB).",
           "bmp|png|tiff|jpeg"),
    Option("bias", "With --profile, frames: subtract the bias frame BIAS from each.", "BIAS"),
    Option("dark-scale",
           "With frames, --dark and --bias: exposure subtracts BIAS + (DARK - BIAS) x t / t_dark, "
           "the exposure times from FITS EXPTIME (or EXPOSURE) or EXIF ExposureTime; none "
           "(default) subtracts DARK.",
           "none|exposure", "none"),
    Option("dark",
           "With --profile, frames: subtract the dark frame DARK (more than once: averaged). Raw "
           "pictures: subtract the raw dark frame DARK (same camera and size) "
           "from each, in place of the black level.",
           "DARK"),
    Option("gain-map",
           "With --profile, DNG pictures: keep the raw data as they are and add the gains as a "
           "DNG GainMap per CFA plane (OpcodeList2), which raw converters apply."),
    Option("quality", "With --profile: JPEG quality, 1 to 100 (default 95).", "N", "95"),
    Option("crop",
           "With --profile: a picture of another aspect ratio than the profile's is a centred "
           "crop of the same sensor (a 16:9 mode of a 3:2 sensor).",
           "centre"),
    Option("memory",
           "With --profile: the memory the batch may take for profiles, gains and the strips of "
           "pictures in flight, such as 800M, 4G or 25% of this machine's (default 50%); fewer "
           "pictures are corrected at once where it would not hold them.",
           "SIZE"),
};

const QList<Option> kProfilesOptions{
    Option("plot", "Draw the lens profile PROFILE into OUT.png.", "PROFILE"),
    Option({"j", "jobs"}, "Profiles read at once (default: one per processor core).", "N"),
};

const QList<Option> kMasterOptions{
    Option("method", "How each place's values are combined (default median).",
           "mean|median|sigma-clip|winsorized", "median"),
    Option("low", "sigma-clip and winsorized: K below the median, in sigma (default 3).", "K", "3"),
    Option("high", "sigma-clip and winsorized: K above the median, in sigma (default 3).", "K",
           "3"),
    Option("scale",
           "Multiply each frame first so that its mean or median (per channel, per position of a "
           "mosaic) equals the first frame's, for flats of different exposure (default none).",
           "none|mean|median", "none"),
    Option({"o", "output"}, "The master frame to write.", "MASTER"),
    Option({"j", "jobs"}, "Threads (default: one per processor core).", "N"),
};

// A name the command line takes for a value; aliases are taken but not offered.
template <typename T>
struct Named {
    const char* name;
    T value;
    bool alias = false;
};

struct MapMode {
    Correction correction;
    FilterMode mode;
};
const Named<MapMode> kModes[] = {{"plain", {Correction::Filtering, FilterMode::PlainAdd}},
                                 {"offset", {Correction::Filtering, FilterMode::PeakOffset}},
                                 {"scale", {Correction::Filtering, FilterMode::PeakScale}},
                                 {"gain", {Correction::Gain, FilterMode::PlainAdd}}};
const Named<CorrectWhat> kCorrect[] = {{"both", CorrectWhat::Both},
                                       {"luminance", CorrectWhat::Luminance},
                                       {"colour", CorrectWhat::Colour},
                                       {"color", CorrectWhat::Colour, true}};
const Named<GainSpace> kSpaces[] = {{"linear", GainSpace::Linear}, {"code", GainSpace::Code}};
const Named<bool> kInterpolations[] = {{"cubic", true}, {"linear", false}};
const Named<PlaneLevel> kLevels[] = {{"centre", PlaneLevel::Centre},
                                     {"center", PlaneLevel::Centre, true},
                                     {"mean", PlaneLevel::Mean}};
const Named<bool> kDarkScales[] = {{"none", false}, {"exposure", true}};
const Named<FlatFit> kCrops[] = {{"centre", FlatFit::CropCentre},
                                 {"center", FlatFit::CropCentre, true}};
const Named<PhotoFormat> kFormats[] = {
    {"bmp", PhotoFormat::Bmp},        {"png", PhotoFormat::Png},
    {"tiff", PhotoFormat::Tiff},      {"jpeg", PhotoFormat::Jpeg},
    {"tif", PhotoFormat::Tiff, true}, {"jpg", PhotoFormat::Jpeg, true}};

const Named<CombineMethod> kMethods[] = {{"mean", CombineMethod::Mean},
                                         {"average", CombineMethod::Mean, true},
                                         {"median", CombineMethod::Median},
                                         {"sigma-clip", CombineMethod::SigmaClip},
                                         {"sigma", CombineMethod::SigmaClip, true},
                                         {"winsorized", CombineMethod::Winsorized},
                                         {"winsorised", CombineMethod::Winsorized, true}};
const Named<MasterOptions::Scale> kScales[] = {{"none", MasterOptions::Scale::None},
                                               {"mean", MasterOptions::Scale::Mean},
                                               {"median", MasterOptions::Scale::Median}};

// What is wrong with a command line, or nothing.
using Wrong = std::optional<QString>;

// The value of `option` among `names`: "unknown --mode "x"; use plain, offset, scale or gain."
template <typename T, std::size_t N>
Wrong Choose(const QCommandLineParser& parser, const QString& option, const Named<T> (&names)[N],
             T& value) {
    const QString given = parser.value(option);
    QStringList offered;
    for (const Named<T>& named : names) {
        if (given.compare(named.name, Qt::CaseInsensitive) == 0) {
            value = named.value;
            return {};
        }
        if (!named.alias) offered << named.name;
    }
    const QString last = offered.takeLast();
    return "unknown --" + option + " \"" + given + "\"; use " + offered.join(", ") + " or " + last +
           ".";
}

// A whole number from `low` to `high` (INT_MAX: no bound).
Wrong Whole(const QCommandLineParser& parser, const QString& option, int low, int high,
            int& value) {
    bool ok = false;
    value = parser.value(option).toInt(&ok);
    if (ok && value >= low && value <= high) return {};
    const QString range = high == INT_MAX ? QString("of at least %1").arg(low)
                                          : QString("from %1 to %2").arg(low).arg(high);
    return "--" + option + " needs a whole number " + range + ", not \"" + parser.value(option) +
           "\".";
}

Wrong MemorySize(const QCommandLineParser& parser, std::int64_t& bytes) {
    const std::optional<std::int64_t> size = MemorySizeNamed(parser.value("memory").toStdString());
    if (size) bytes = *size;
    return size ? Wrong{}
                : "--memory needs a size such as 800M, 4G or 25%, not \"" + parser.value("memory") +
                      "\".";
}

CommandLine Result(CommandLine::Action action, const QString& command, QString text = {}) {
    if (action == CommandLine::Action::ShowHelp) {
        // Qt names the program by the path it was started with; the help names it as it is
        // known.
        const QString started = QCoreApplication::arguments().value(0);
        if (!started.isEmpty() && text.startsWith("Usage: " + started)) {
            text.replace(7, started.size(), QCoreApplication::applicationName());
        }
    }
    CommandLine result;
    result.action = action;
    result.command = command;
    result.text = text;
    return result;
}

CommandLine UsageError(const QString& command, const QString& text) {
    return Result(CommandLine::Action::UsageError, command, text);
}

CommandLine Help(const QString& command, const QString& text) {
    return Result(CommandLine::Action::ShowHelp, command, text);
}

// Reads `arguments` for `command` into `parser`: its options, and its positional arguments as
// (name, description, syntax) triples. Nothing when they are to be carried out, else the usage
// error or the help.
std::optional<CommandLine> Parse(QCommandLineParser& parser, const QStringList& arguments,
                                 const char* command, const char* description,
                                 const QList<QList<Option>>& options,
                                 const QList<QStringList>& positional) {
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    for (const QList<Option>& some : options)
        parser.addOptions(some);
    for (const QStringList& argument : positional)
        parser.addPositionalArgument(argument[0], argument[1], argument.value(2));
    if (!parser.parse(arguments)) return UsageError(command, parser.errorText());
    if (parser.isSet("help")) return Help(command, parser.helpText());
    return {};
}

// The first of `options` that is set, or nothing.
Wrong FirstSet(const QCommandLineParser& parser, const QStringList& options,
               const QString& because) {
    for (const QString& option : options) {
        if (parser.isSet(option)) return "--" + option + because;
    }
    return {};
}

// Fills the settings given in `parser` into `shot`.
Wrong ReadShotOptions(const QCommandLineParser& parser, ShotSettings& shot) {
    const std::pair<const char*, std::string*> names[] = {
        {"make", &shot.make}, {"model", &shot.model}, {"lens", &shot.lens}};
    for (const auto& [option, value] : names) {
        if (!parser.isSet(option)) continue;
        *value = parser.value(option).trimmed().toStdString();
        if (value->empty()) return QString("--") + option + " needs a name.";
    }
    const std::pair<const char*, double*> numbers[] = {{"focal-length", &shot.focalLength},
                                                       {"f-number", &shot.fNumber},
                                                       {"focus-distance", &shot.focusDistance}};
    for (const auto& [option, value] : numbers) {
        if (!parser.isSet(option)) continue;
        bool ok = false;
        QString text = parser.value(option).trimmed();
        if (QString(option) == "f-number" && text.startsWith("f/", Qt::CaseInsensitive)) {
            text = text.mid(2);
        }
        *value = text.toDouble(&ok);
        if (!ok || !(*value > 0) || *value > 1e6) {
            return QString("--") + option + " needs a number above 0, not \"" +
                   parser.value(option) + "\".";
        }
    }
    return {};
}

// The dark frames and bias of frames, and how the dark is scaled.
Wrong ReadDarks(const QCommandLineParser& parser, QStringList& darks, QString& bias,
                bool& darkScale) {
    darks = parser.values("dark");
    bias = parser.value("bias");
    if (darks.contains(QString())) return "--dark needs a file.";
    if (parser.isSet("bias") && bias.isEmpty()) return "--bias needs a file.";
    if (Wrong wrong = Choose(parser, "dark-scale", kDarkScales, darkScale)) return wrong;
    if (darkScale && (darks.isEmpty() || bias.isEmpty())) {
        return "--dark-scale exposure needs --dark and --bias: it scales the dark's current, "
               "the dark less the bias.";
    }
    return {};
}

CommandLine ParseProfileTune(const QCommandLineParser& parser, const QStringList& references) {
    CommandLine result = Result(CommandLine::Action::Tune, "tune");
    TuneOptions& options = result.tune;
    options.profileFile = parser.value("profile");
    options.references = references;
    options.force = parser.isSet("force");
    options.smoothSet = parser.isSet("smooth");
    options.dark = parser.value("dark");
    Wrong wrong;
    if (options.profileFile.isEmpty()) wrong = "--profile needs a file.";
    if (!wrong && parser.isSet("dark") && options.dark.isEmpty()) wrong = "--dark needs a file.";
    if (!wrong) wrong = Choose(parser, "level", kLevels, options.level);
    if (!wrong) wrong = ReadDarks(parser, options.darks, options.bias, options.darkScale);
    if (!wrong && references.contains(QString())) wrong = "a REFERENCE name is empty.";
    if (!wrong) {
        wrong = FirstSet(parser, {"map", "preview"},
                         " belongs to the map; --profile makes a lens profile instead.");
    }
    if (!wrong) wrong = ReadShotOptions(parser, options.shot);
    if (!wrong && options.smoothSet) {
        wrong = Whole(parser, "smooth", 0, kLargestProfileSmoothRadius, options.smoothRadius);
    }
    return wrong ? UsageError("tune", *wrong) : result;
}

CommandLine ParseMapTune(const QCommandLineParser& parser, const QStringList& positional) {
    CommandLine result = Result(CommandLine::Action::Tune, "tune");
    TuneOptions& options = result.tune;
    options.reference = positional.front();
    options.mapFile = parser.value("map");
    options.previewFile = parser.value("preview");
    QStringList shotNames;
    for (const Option& option : kShotOptions)
        shotNames << option.names().front();
    Wrong wrong = FirstSet(parser, shotNames + QStringList{"dark", "bias", "dark-scale", "level"},
                           " needs --profile; the map does not record the lens.");
    if (!wrong && positional.size() > 1) {
        wrong =
            "one REFERENCE picture is tuned at a time; also given: " + positional.mid(1).join(' ');
    }
    if (!wrong && parser.isSet("preview") && options.previewFile.isEmpty()) {
        wrong = "--preview needs a file.";
    }
    if (!wrong) wrong = Whole(parser, "smooth", 0, kLargestSmoothRadius, options.smoothRadius);
    if (!wrong && options.reference.isEmpty()) wrong = "the REFERENCE name is empty.";
    if (!wrong && options.mapFile.isEmpty()) wrong = "--map needs a file.";
    return wrong ? UsageError("tune", *wrong) : result;
}

CommandLine ParseTune(const QStringList& arguments) {
    QCommandLineParser parser;
    if (auto done = Parse(parser, arguments, "tune", kTuneDescription, {kTuneOptions, kShotOptions},
                          {{"tune", "Measure the correction map.", "tune"},
                           {"REFERENCE", "The reference picture, evenly lit at its centre."}})) {
        return *done;
    }
    const QStringList positional = parser.positionalArguments().mid(1);
    if (positional.isEmpty()) return UsageError("tune", "no REFERENCE picture is given.");
    if (parser.isSet("profile")) return ParseProfileTune(parser, positional);
    return ParseMapTune(parser, positional);
}

// `--jobs`, by default one per core.
Wrong ReadJobs(const QCommandLineParser& parser, int& jobs) {
    jobs = std::max(QThread::idealThreadCount(), 1);
    return parser.isSet("jobs") ? Whole(parser, "jobs", 1, INT_MAX, jobs) : Wrong{};
}

// Where the outputs go, and the checks of the inputs that need no file.
Wrong ReadPictures(const QCommandLineParser& parser, FilterOptions& options) {
    options.inputs = parser.positionalArguments().mid(1);
    options.outputFile = parser.value("output");
    options.outputFolder = parser.value("output-dir");
    options.quiet = parser.isSet("quiet");
    if (Wrong wrong = ReadJobs(parser, options.jobs)) return wrong;
    if (options.inputs.isEmpty()) return "no INPUT picture is given.";
    if (options.inputs.contains(QString())) return "an INPUT name is empty.";
    if (parser.isSet("output") && parser.isSet("output-dir")) {
        return "--output and --output-dir cannot be used together.";
    }
    if (parser.isSet("output") && options.outputFile.isEmpty()) return "--output needs a file.";
    if (parser.isSet("output-dir") && options.outputFolder.isEmpty()) {
        return "--output-dir needs a folder.";
    }
    if (!options.outputFile.isEmpty() && options.inputs.size() > 1) {
        return "--output names one file, but " + QString::number(options.inputs.size()) +
               " inputs are given; use --output-dir.";
    }
    return {};
}

Wrong ReadMapFilter(const QCommandLineParser& parser, FilterOptions& options) {
    options.mapFile = parser.value("map");
    options.strength = parser.value("strength");
    MapMode mode{};
    if (Wrong wrong = Choose(parser, "mode", kModes, mode)) return wrong;
    options.correction = mode.correction;
    options.mode = mode.mode;
    if (options.mapFile.isEmpty()) return "--map needs a file.";
    return FirstSet(parser,
                    {"correct", "space", "format", "quality", "crop", "memory", "dark", "bias",
                     "dark-scale", "gain-map"},
                    " needs --profile; the map's modes write BMP as they always have.");
}

Wrong ReadProfileSource(const QCommandLineParser& parser, FilterOptions& options) {
    if (parser.isSet("profile") && parser.isSet("profiles")) {
        return "--profile and --profiles cannot be used together; name the profile for pictures "
               "the library does not serve with --fallback.";
    }
    if (parser.isSet("profile")) {
        options.profileFile = parser.value("profile");
        return options.profileFile.isEmpty() ? Wrong("--profile needs a file.") : Wrong{};
    }
    options.profilesFolder = parser.value("profiles");
    options.fallbackFile = parser.value("fallback");
    options.explain = parser.isSet("explain");
    if (options.profilesFolder.isEmpty()) return "--profiles needs a folder.";
    if (parser.isSet("fallback") && options.fallbackFile.isEmpty()) {
        return "--fallback needs a file.";
    }
    return Choose(parser, "interpolate", kInterpolations, options.cubic);
}

Wrong ReadProfileFilter(const QCommandLineParser& parser, FilterOptions& options) {
    if (Wrong wrong = ReadProfileSource(parser, options)) return wrong;
    if (Wrong wrong = FirstSet(parser, {"map", "mode", "strength"},
                               " belongs to the map; a lens profile corrects in its own way.")) {
        return wrong;
    }
    CorrectionSettings& settings = options.settings;
    if (Wrong wrong = Choose(parser, "correct", kCorrect, settings.what)) return wrong;
    if (Wrong wrong = Choose(parser, "space", kSpaces, settings.space)) return wrong;
    if (parser.isSet("crop")) {
        if (Wrong wrong = Choose(parser, "crop", kCrops, settings.fit)) return wrong;
    }
    PhotoFormat format{};
    if (parser.isSet("format")) {
        if (Wrong wrong = Choose(parser, "format", kFormats, format)) return wrong;
        options.format = format;
    } else if (!options.outputFile.isEmpty() && FormatForSuffix(options.outputFile, &format)) {
        options.format = format;
    }
    options.dark = parser.value("dark");
    if (Wrong wrong = ReadDarks(parser, options.darks, options.bias, options.darkScale)) {
        return wrong;
    }
    options.gainMap = parser.isSet("gain-map");
    if (options.gainMap && parser.isSet("dark")) {
        return "--gain-map keeps the raw data as they are, and a dark frame cannot be expressed "
               "as a gain; use one or the other.";
    }
    if (options.gainMap && parser.isSet("format")) {
        return "--gain-map writes the DNG itself with its gains; it takes no --format.";
    }
    if (Wrong wrong = Whole(parser, "quality", 1, 100, options.quality)) return wrong;
    options.memory = MemoryBudget::MachineShare();
    return parser.isSet("memory") ? MemorySize(parser, options.memory) : Wrong{};
}

CommandLine ParseFilter(const QStringList& arguments) {
    QCommandLineParser parser;
    if (auto done = Parse(parser, arguments, "filter", kFilterDescription, {kFilterOptions},
                          {{"filter", "Correct pictures with the stored map.", "filter"},
                           {"INPUT", "Pictures to correct (JPEG, BMP, PNG, ...).", "INPUT..."}})) {
        return *done;
    }

    CommandLine result = Result(CommandLine::Action::Filter, "filter");
    FilterOptions& options = result.filter;
    Wrong wrong = ReadPictures(parser, options);
    if (!wrong && !parser.isSet("profiles")) {
        wrong = FirstSet(parser, {"fallback", "explain", "interpolate"}, " needs --profiles.");
    }
    if (!wrong) {
        wrong = parser.isSet("profile") || parser.isSet("profiles")
                    ? ReadProfileFilter(parser, options)
                    : ReadMapFilter(parser, options);
    }
    return wrong ? UsageError("filter", *wrong) : result;
}

CommandLine ParseProfiles(const QStringList& arguments) {
    QCommandLineParser parser;
    if (auto done = Parse(parser, arguments, "profiles", kProfilesDescription, {kProfilesOptions},
                          {{"profiles", "List or draw lens profiles.", "profiles"},
                           {"DIR", "The folder of lens profiles (with --plot: OUT.png).",
                            "DIR | --plot PROFILE OUT.png"}})) {
        return *done;
    }
    const QStringList positional = parser.positionalArguments().mid(1);
    CommandLine result = Result(CommandLine::Action::Profiles, "profiles");
    ProfilesOptions& options = result.profiles;
    if (Wrong wrong = ReadJobs(parser, options.jobs)) return UsageError("profiles", *wrong);
    const bool one = positional.size() == 1 && !positional.front().isEmpty();
    if (parser.isSet("plot")) {
        options.plotFile = parser.value("plot");
        if (!one || options.plotFile.isEmpty()) {
            return UsageError("profiles", "--plot needs a PROFILE and one OUT.png.");
        }
        options.plotOutput = positional.front();
        return result;
    }
    if (!one) return UsageError("profiles", "give one DIR of lens profiles.");
    options.folder = positional.front();
    return result;
}

// A positive number of standard deviations.
Wrong Sigmas(const QCommandLineParser& parser, const QString& option, double& value) {
    bool ok = false;
    value = parser.value(option).trimmed().toDouble(&ok);
    if (ok && std::isfinite(value) && value > 0) return {};
    return "--" + option + " needs a positive number of standard deviations, not \"" +
           parser.value(option) + "\".";
}

CommandLine ParseMaster(const QStringList& arguments) {
    QCommandLineParser parser;
    if (auto done = Parse(parser, arguments, "master", kMasterDescription, {kMasterOptions},
                          {{"master", "Combine frames into a master frame.", "master"},
                           {"FRAME", "The frames to combine.", "FRAME..."}})) {
        return *done;
    }
    CommandLine result = Result(CommandLine::Action::Master, "master");
    MasterOptions& options = result.master;
    options.frames = parser.positionalArguments().mid(1);
    options.output = parser.value("output");
    Wrong wrong = ReadJobs(parser, options.jobs);
    if (!wrong) wrong = Choose(parser, "method", kMethods, options.rule.method);
    if (!wrong) wrong = Choose(parser, "scale", kScales, options.scale);
    if (!wrong) wrong = Sigmas(parser, "low", options.rule.low);
    if (!wrong) wrong = Sigmas(parser, "high", options.rule.high);
    if (!wrong && options.output.isEmpty()) wrong = "--output needs the MASTER file to write.";
    if (!wrong && options.frames.isEmpty()) wrong = "no FRAME is given.";
    if (!wrong && options.frames.contains(QString())) wrong = "a FRAME name is empty.";
    return wrong ? UsageError("master", *wrong) : result;
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(kDescription);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument("command", "tune, filter, profiles or master.", "COMMAND");
    // Everything after the command belongs to the command's own parser.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);

    if (!parser.parse(arguments)) return UsageError({}, parser.errorText());
    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(version)) {
        CommandLine result = Result(CommandLine::Action::ShowVersion, {});
        result.text =
            QCoreApplication::applicationName() + ' ' + QCoreApplication::applicationVersion();
        // What a bug report needs beside the version: the libraries the pictures go through.
        for (const auto& [library, libraryVersion] : LibraryVersions())
            result.text += "\n  " + QString::fromStdString(library) + ' ' +
                           QString::fromStdString(libraryVersion);
        return result;
    }
    if (positional.isEmpty()) {
        if (parser.isSet(help)) return Help({}, parser.helpText());
        return UsageError({}, "no command is given; use tune, filter, profiles or master.");
    }

    QStringList commandArguments{arguments.value(0)};
    commandArguments += positional;
    if (parser.isSet(help)) commandArguments += "--help";
    const QString command = positional.front();
    if (command == "tune") return ParseTune(commandArguments);
    if (command == "filter") return ParseFilter(commandArguments);
    if (command == "profiles") return ParseProfiles(commandArguments);
    if (command == "master") return ParseMaster(commandArguments);
    return UsageError({},
                      "unknown command \"" + command + "\"; use tune, filter, profiles or master.");
}

}  // namespace velmora
