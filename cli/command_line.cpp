#include "cli/command_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QThread>
#include <algorithm>

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
    "filter --profiles). References shot with other settings are refused unless --force.";

const char kFilterDescription[] =
    "Adds the stored correction map onto each INPUT (or, in gain mode, multiplies each INPUT\n"
    "by it) and writes the result as a BMP file: INPUT.bmp beside each input, or the file or\n"
    "folder given.\n"
    "\n"
    "With --profile FILE, multiplies each INPUT, in linear light, by the gain that brings the\n"
    "lens profile's flat up to its centre level, at any size and in 8 or 16 bits, and writes it\n"
    "as --format: INPUT.<suffix> beside each input, or the file or folder given. EXIF, XMP,\n"
    "IPTC and the colour profile go along into PNG, TIFF and JPEG; BMP cannot hold them.";

const char kProfilesDescription[] =
    "Lists the lens profiles of DIR: camera, lens, focal length, f-number, size, the corners'\n"
    "falloff in EV per channel and their colour cast (red and blue against green, in EV), and\n"
    "reports each file of DIR that is not a valid lens profile.\n"
    "\n"
    "With --plot PROFILE OUT.png, draws the profile instead: its falloff as a false-colour map in\n"
    "EV with contour lines, beside the falloff of each channel from the centre to the corners.";

QCommandLineOption MapOption() {
    return QCommandLineOption("map",
                              "Correction map file (default: data.dat in the current folder).",
                              "FILE", "data.dat");
}

CommandLine UsageError(const QString& command, const QString& text) {
    CommandLine result;
    result.action = CommandLine::Action::UsageError;
    result.command = command;
    result.text = text;
    return result;
}

CommandLine Help(const QString& command, QString text) {
    // Qt names the program by the path it was started with; the help names it as it is known.
    const QString started = QCoreApplication::arguments().value(0);
    if (!started.isEmpty() && text.startsWith("Usage: " + started)) {
        text.replace(7, started.size(), QCoreApplication::applicationName());
    }
    CommandLine result;
    result.action = CommandLine::Action::ShowHelp;
    result.command = command;
    result.text = text;
    return result;
}

// The options that say how the references were shot, for references without EXIF or with
// wrong EXIF.
struct ShotOptions {
    QCommandLineOption make{
        "make",
        "With --profile: the camera's make as its EXIF writes it, in place of the references'.",
        "TEXT"};
    QCommandLineOption model{"model", "With --profile: the camera's model, likewise.", "TEXT"};
    QCommandLineOption lens{"lens", "With --profile: the lens's name, likewise.", "TEXT"};
    QCommandLineOption focalLength{"focal-length",
                                   "With --profile: the focal length in millimetres.", "MM"};
    QCommandLineOption fNumber{"f-number", "With --profile: the f-number (2.8 for f/2.8).", "N"};
    QCommandLineOption focusDistance{"focus-distance",
                                     "With --profile: the focus distance in metres.", "M"};
    QCommandLineOption force{"force",
                             "Take references that disagree on camera, lens, focal length, "
                             "f-number or focus distance together (the first one's are kept)."};

    QList<QCommandLineOption> all() const {
        return {make, model, lens, focalLength, fNumber, focusDistance, force};
    }
};

// Fills the settings given in `parser` into `shot`; the text of what is wrong, else empty.
QString ReadShotOptions(const QCommandLineParser& parser, const ShotOptions& options,
                        ShotSettings& shot) {
    const std::pair<const QCommandLineOption*, std::string*> names[] = {
        {&options.make, &shot.make}, {&options.model, &shot.model}, {&options.lens, &shot.lens}};
    for (const auto& [option, value] : names) {
        if (!parser.isSet(*option)) continue;
        *value = parser.value(*option).trimmed().toStdString();
        if (value->empty()) return "--" + option->names().front() + " needs a name.";
    }
    const std::pair<const QCommandLineOption*, double*> numbers[] = {
        {&options.focalLength, &shot.focalLength},
        {&options.fNumber, &shot.fNumber},
        {&options.focusDistance, &shot.focusDistance}};
    for (const auto& [option, value] : numbers) {
        if (!parser.isSet(*option)) continue;
        bool ok = false;
        QString text = parser.value(*option).trimmed();
        if (option == &options.fNumber && text.startsWith("f/", Qt::CaseInsensitive)) {
            text = text.mid(2);
        }
        *value = text.toDouble(&ok);
        if (!ok || !(*value > 0) || *value > 1e6) {
            return "--" + option->names().front() + " needs a number above 0, not \"" +
                   parser.value(*option) + "\".";
        }
    }
    return {};
}

CommandLine ParseProfileTune(const QCommandLineParser& parser, const QStringList& references,
                             const QCommandLineOption& profile, const QCommandLineOption& smooth,
                             const ShotOptions& shot) {
    CommandLine result;
    result.action = CommandLine::Action::Tune;
    result.command = "tune";
    TuneOptions& options = result.tune;
    options.profileFile = parser.value(profile);
    options.references = references;
    if (options.profileFile.isEmpty()) return UsageError("tune", "--profile needs a file.");
    if (references.contains(QString())) return UsageError("tune", "a REFERENCE name is empty.");
    if (parser.isSet("map") || parser.isSet("preview")) {
        return UsageError("tune",
                          "--map and --preview belong to the map; --profile makes a lens "
                          "profile instead.");
    }
    if (const QString wrong = ReadShotOptions(parser, shot, options.shot); !wrong.isEmpty()) {
        return UsageError("tune", wrong);
    }
    options.force = parser.isSet(shot.force);
    options.smoothSet = parser.isSet(smooth);
    bool ok = true;
    if (options.smoothSet) options.smoothRadius = parser.value(smooth).toInt(&ok);
    if (!ok || options.smoothRadius < 0 || options.smoothRadius > kLargestProfileSmoothRadius) {
        return UsageError("tune", QString("--smooth needs a whole number from 0 to %1, not \"%2\".")
                                      .arg(kLargestProfileSmoothRadius)
                                      .arg(parser.value(smooth)));
    }
    return result;
}

CommandLine ParseTune(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(kTuneDescription);
    parser.addHelpOption();
    const QCommandLineOption map = MapOption();
    const QCommandLineOption preview(
        "preview", "Also write the map's picture (the preview) as BMP.", "OUT.bmp");
    const QCommandLineOption smooth(
        "smooth",
        "Low-pass the reference before measuring: two box passes of 2 x RADIUS + 1 pixels per "
        "colour, so that its noise stays out of the map (default 0: measured as it is; 8 suits "
        "a grey card).",
        "RADIUS", "0");
    const QCommandLineOption profile(
        "profile",
        "Measure a lens profile into FILE (a 16-bit TIFF) from every REFERENCE instead of the "
        "map. Its --smooth defaults to the references' longer side / 300 (at least 2): 20 for "
        "6000 x 4000; 0 keeps every detail.",
        "FILE");
    const ShotOptions shot;
    parser.addOptions({map, preview, smooth, profile});
    parser.addOptions(shot.all());
    parser.addPositionalArgument("tune", "Measure the correction map.", "tune");
    parser.addPositionalArgument("REFERENCE", "The reference picture, evenly lit at its centre.");

    if (!parser.parse(arguments)) return UsageError("tune", parser.errorText());
    if (parser.isSet("help")) return Help("tune", parser.helpText());
    const QStringList positional = parser.positionalArguments().mid(1);
    if (positional.isEmpty()) return UsageError("tune", "no REFERENCE picture is given.");
    if (parser.isSet(profile)) return ParseProfileTune(parser, positional, profile, smooth, shot);
    for (const QCommandLineOption& only : shot.all()) {
        if (parser.isSet(only)) {
            return UsageError("tune", "--" + only.names().front() +
                                          " needs --profile; the map does not record the lens.");
        }
    }
    if (positional.size() > 1) {
        return UsageError("tune", "one REFERENCE picture is tuned at a time; also given: " +
                                      positional.mid(1).join(' '));
    }

    CommandLine result;
    result.action = CommandLine::Action::Tune;
    result.command = "tune";
    result.tune.reference = positional.front();
    result.tune.mapFile = parser.value(map);
    if (parser.isSet(preview)) {
        result.tune.previewFile = parser.value(preview);
        if (result.tune.previewFile.isEmpty()) return UsageError("tune", "--preview needs a file.");
    }
    bool ok = false;
    result.tune.smoothRadius = parser.value(smooth).toInt(&ok);
    if (!ok || result.tune.smoothRadius < 0 || result.tune.smoothRadius > kLargestSmoothRadius) {
        return UsageError("tune", QString("--smooth needs a whole number from 0 to %1, not \"%2\".")
                                      .arg(kLargestSmoothRadius)
                                      .arg(parser.value(smooth)));
    }
    if (result.tune.reference.isEmpty()) return UsageError("tune", "the REFERENCE name is empty.");
    if (result.tune.mapFile.isEmpty()) return UsageError("tune", "--map needs a file.");
    return result;
}

CommandLine ParseFilter(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(kFilterDescription);
    parser.addHelpOption();
    const QCommandLineOption map = MapOption();
    const QCommandLineOption mode(
        "mode",
        "plain: sums above 255 are cut to 255 (default); offset: every sum is shifted down by "
        "the strength's share of the brightest sum's excess; scale: every sum is scaled so that "
        "the point the strength sets lands on 255; gain: every byte is multiplied by how much "
        "the reference was darkened at its place (needs the map's FILE.json from tune).",
        "plain|offset|scale|gain", "plain");
    const QCommandLineOption strength(
        "strength",
        "Share of the brightest sum's excess over 255, in percent, for offset and "
        "scale (default 30; '.' as the decimal point).",
        "PERCENT", "30");
    const QCommandLineOption output({"o", "output"}, "Write the one INPUT's result to FILE.",
                                    "FILE");
    const QCommandLineOption outputDir(
        {"d", "output-dir"},
        "Write each result to DIR/<input file name>.bmp (with --profile, the format's suffix).",
        "DIR");
    const QCommandLineOption jobs(
        {"j", "jobs"}, "Pictures in flight at once (default: one per processor core).", "N");
    const QCommandLineOption quiet({"q", "quiet"},
                                   "Print only failures and warnings about a result.");
    const QCommandLineOption profile(
        "profile", "Correct by the lens profile FILE (from tune --profile) instead of the map.",
        "FILE");
    const QCommandLineOption correct(
        "correct",
        "With --profile: both (default) brings every channel up to its centre level; luminance "
        "corrects the falloff alone (one gain per place, a colour cast stays); colour corrects "
        "the colour cast alone (the falloff stays).",
        "both|luminance|colour", "both");
    const QCommandLineOption space(
        "space",
        "With --profile: linear (default) applies the gain to light, through the picture's "
        "transfer curve (its colour profile's, sRGB without one); code multiplies the values "
        "themselves, for data that is linear or of unknown curve.",
        "linear|code", "linear");
    const QCommandLineOption format(
        "format",
        "With --profile: the output format (default bmp, or what --output's suffix names). "
        "16-bit pictures need png or tiff; bmp carries no metadata.",
        "bmp|png|tiff|jpeg");
    const QCommandLineOption quality(
        "quality", "With --profile: JPEG quality, 1 to 100 (default 95).", "N", "95");
    const QCommandLineOption crop(
        "crop",
        "With --profile: a picture of another aspect ratio than the profile's is a centred crop "
        "of the same sensor (a 16:9 mode of a 3:2 sensor).",
        "centre");
    const QCommandLineOption profiles(
        "profiles",
        "Correct each picture by the lens profiles of the folder DIR that match its camera and "
        "lens (from its EXIF): the one of its focal length and f-number, or the two (for a zoom "
        "up to four) measured around them, their gains blended in log space linearly in log2 "
        "f-number and log focal length; outside the measured range the nearest, with a warning. "
        "Takes every option of --profile.",
        "DIR");
    const QCommandLineOption fallback(
        "fallback",
        "With --profiles: the lens profile for pictures that none of the library serves (no EXIF, "
        "or a camera or lens without a profile); without it they are reported and not written.",
        "FILE");
    const QCommandLineOption interpolate(
        "interpolate",
        "With --profiles, between two measured f-numbers: cubic (default) takes the monotone "
        "cubic in log2 f-number through the two and the next measured on each side, where three "
        "or more were measured at the picture's focal length; linear blends the two alone.",
        "cubic|linear", "cubic");
    const QCommandLineOption explain(
        "explain",
        "With --profiles: one line per picture with the profiles it took and their weights, and "
        "a count of pictures per profile at the end.");
    parser.addOptions({map, mode, strength, output, outputDir, jobs, quiet, profile, profiles,
                       fallback, explain, interpolate, correct, space, format, quality, crop});
    parser.addPositionalArgument("filter", "Correct pictures with the stored map.", "filter");
    parser.addPositionalArgument("INPUT", "Pictures to correct (JPEG, BMP, PNG, ...).", "INPUT...");

    if (!parser.parse(arguments)) return UsageError("filter", parser.errorText());
    if (parser.isSet("help")) return Help("filter", parser.helpText());

    CommandLine result;
    result.action = CommandLine::Action::Filter;
    result.command = "filter";
    FilterOptions& options = result.filter;
    options.inputs = parser.positionalArguments().mid(1);
    options.mapFile = parser.value(map);
    options.strength = parser.value(strength);
    options.outputFile = parser.value(output);
    options.outputFolder = parser.value(outputDir);
    options.quiet = parser.isSet(quiet);

    const QString modeName = parser.value(mode);
    if (modeName == "plain") {
        options.mode = FilterMode::PlainAdd;
    } else if (modeName == "offset") {
        options.mode = FilterMode::PeakOffset;
    } else if (modeName == "scale") {
        options.mode = FilterMode::PeakScale;
    } else if (modeName == "gain") {
        options.correction = Correction::Gain;
    } else {
        return UsageError("filter",
                          "unknown --mode \"" + modeName + "\"; use plain, offset, scale or gain.");
    }

    options.jobs = QThread::idealThreadCount();
    if (parser.isSet(jobs)) {
        bool ok = false;
        options.jobs = parser.value(jobs).toInt(&ok);
        if (!ok || options.jobs < 1) {
            return UsageError("filter", "--jobs needs a whole number of at least 1, not \"" +
                                            parser.value(jobs) + "\".");
        }
    }
    options.jobs = std::max(options.jobs, 1);

    if (options.inputs.isEmpty()) return UsageError("filter", "no INPUT picture is given.");
    if (options.inputs.contains(QString())) return UsageError("filter", "an INPUT name is empty.");
    if (options.mapFile.isEmpty()) return UsageError("filter", "--map needs a file.");
    if (parser.isSet(output) && parser.isSet(outputDir)) {
        return UsageError("filter", "--output and --output-dir cannot be used together.");
    }
    if (parser.isSet(output) && options.outputFile.isEmpty()) {
        return UsageError("filter", "--output needs a file.");
    }
    if (parser.isSet(outputDir) && options.outputFolder.isEmpty()) {
        return UsageError("filter", "--output-dir needs a folder.");
    }
    if (!options.outputFile.isEmpty() && options.inputs.size() > 1) {
        return UsageError("filter", "--output names one file, but " +
                                        QString::number(options.inputs.size()) +
                                        " inputs are given; use --output-dir.");
    }

    if (!parser.isSet(profiles)) {
        for (const QCommandLineOption* only : {&fallback, &explain, &interpolate}) {
            if (parser.isSet(*only)) {
                return UsageError("filter", "--" + only->names().front() + " needs --profiles.");
            }
        }
    }
    if (!parser.isSet(profile) && !parser.isSet(profiles)) {
        for (const QCommandLineOption* only : {&correct, &space, &format, &quality, &crop}) {
            if (parser.isSet(*only)) {
                return UsageError("filter", "--" + only->names().front() +
                                                " needs --profile; the map's modes write BMP as "
                                                "they always have.");
            }
        }
        return result;
    }
    if (parser.isSet(profile) && parser.isSet(profiles)) {
        return UsageError("filter",
                          "--profile and --profiles cannot be used together; name the profile "
                          "for pictures the library does not serve with --fallback.");
    }
    if (parser.isSet(profiles)) {
        options.profilesFolder = parser.value(profiles);
        if (options.profilesFolder.isEmpty()) {
            return UsageError("filter", "--profiles needs a folder.");
        }
        options.fallbackFile = parser.value(fallback);
        if (parser.isSet(fallback) && options.fallbackFile.isEmpty()) {
            return UsageError("filter", "--fallback needs a file.");
        }
        options.explain = parser.isSet(explain);
        const QString rule = parser.value(interpolate);
        if (rule != "cubic" && rule != "linear") {
            return UsageError("filter",
                              "unknown --interpolate \"" + rule + "\"; use cubic or linear.");
        }
        options.cubic = rule == "cubic";
    } else {
        options.profileFile = parser.value(profile);
        if (options.profileFile.isEmpty()) return UsageError("filter", "--profile needs a file.");
    }
    for (const QCommandLineOption* only : {&map, &mode, &strength}) {
        if (parser.isSet(*only)) {
            return UsageError("filter", "--" + only->names().front() +
                                            " belongs to the map; a lens profile corrects in its "
                                            "own way.");
        }
    }
    const QString correctName = parser.value(correct);
    if (correctName == "both") {
        options.correct = CorrectWhat::Both;
    } else if (correctName == "luminance") {
        options.correct = CorrectWhat::Luminance;
    } else if (correctName == "colour" || correctName == "color") {
        options.correct = CorrectWhat::Colour;
    } else {
        return UsageError(
            "filter", "unknown --correct \"" + correctName + "\"; use both, luminance or colour.");
    }
    const QString spaceName = parser.value(space);
    if (spaceName == "linear") {
        options.space = GainSpace::Linear;
    } else if (spaceName == "code") {
        options.space = GainSpace::Code;
    } else {
        return UsageError("filter", "unknown --space \"" + spaceName + "\"; use linear or code.");
    }
    if (parser.isSet(format)) {
        const QString name = parser.value(format).toLower();
        if (!FormatForSuffix("picture." + name, &options.format)) {
            return UsageError("filter", "unknown --format \"" + parser.value(format) +
                                            "\"; use bmp, png, tiff or jpeg.");
        }
    } else if (!options.outputFile.isEmpty()) {
        FormatForSuffix(options.outputFile, &options.format);
    }
    bool ok = false;
    options.quality = parser.value(quality).toInt(&ok);
    if (!ok || options.quality < 1 || options.quality > 100) {
        return UsageError("filter", "--quality needs a whole number from 1 to 100, not \"" +
                                        parser.value(quality) + "\".");
    }
    if (parser.isSet(crop)) {
        const QString fit = parser.value(crop);
        if (fit != "centre" && fit != "center") {
            return UsageError("filter", "unknown --crop \"" + fit + "\"; use centre.");
        }
        options.cropCentre = true;
    }
    return result;
}

CommandLine ParseProfiles(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(kProfilesDescription);
    parser.addHelpOption();
    const QCommandLineOption plot("plot", "Draw the lens profile PROFILE into OUT.png.", "PROFILE");
    const QCommandLineOption jobs({"j", "jobs"},
                                  "Profiles read at once (default: one per processor core).", "N");
    parser.addOptions({plot, jobs});
    parser.addPositionalArgument("profiles", "List or draw lens profiles.", "profiles");
    parser.addPositionalArgument("DIR", "The folder of lens profiles (with --plot: OUT.png).",
                                 "DIR | --plot PROFILE OUT.png");
    if (!parser.parse(arguments)) return UsageError("profiles", parser.errorText());
    if (parser.isSet("help")) return Help("profiles", parser.helpText());
    const QStringList positional = parser.positionalArguments().mid(1);
    CommandLine result;
    result.action = CommandLine::Action::Profiles;
    result.command = "profiles";
    ProfilesOptions& options = result.profiles;
    options.jobs = QThread::idealThreadCount();
    if (parser.isSet(jobs)) {
        bool ok = false;
        options.jobs = parser.value(jobs).toInt(&ok);
        if (!ok || options.jobs < 1) {
            return UsageError("profiles", "--jobs needs a whole number of at least 1, not \"" +
                                              parser.value(jobs) + "\".");
        }
    }
    options.jobs = std::max(options.jobs, 1);
    if (parser.isSet(plot)) {
        options.plotFile = parser.value(plot);
        if (positional.size() != 1 || positional.front().isEmpty() || options.plotFile.isEmpty()) {
            return UsageError("profiles", "--plot needs a PROFILE and one OUT.png.");
        }
        options.plotOutput = positional.front();
        return result;
    }
    if (positional.size() != 1 || positional.front().isEmpty()) {
        return UsageError("profiles", "give one DIR of lens profiles.");
    }
    options.folder = positional.front();
    return result;
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(kDescription);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument("command", "tune, filter or profiles.", "COMMAND");
    // Everything after the command belongs to the command's own parser.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);

    if (!parser.parse(arguments)) return UsageError({}, parser.errorText());
    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(version)) {
        CommandLine result;
        result.action = CommandLine::Action::ShowVersion;
        result.text =
            QCoreApplication::applicationName() + ' ' + QCoreApplication::applicationVersion();
        return result;
    }
    if (positional.isEmpty()) {
        if (parser.isSet(help)) return Help({}, parser.helpText());
        return UsageError({}, "no command is given; use tune, filter or profiles.");
    }

    QStringList commandArguments{arguments.value(0)};
    commandArguments += positional;
    if (parser.isSet(help)) commandArguments += "--help";
    const QString command = positional.front();
    if (command == "tune") return ParseTune(commandArguments);
    if (command == "filter") return ParseFilter(commandArguments);
    if (command == "profiles") return ParseProfiles(commandArguments);
    return UsageError({}, "unknown command \"" + command + "\"; use tune, filter or profiles.");
}

}  // namespace velmora
