#include "cli/console.h"

#include <QCoreApplication>
#include <new>

#include "cli/command_line.h"
#include "correction/correction_map.h"
#include "correction/error.h"

namespace velmora {

void WriteLine(std::FILE* stream, const QString& line) {
    const QByteArray bytes = (line + '\n').toLocal8Bit();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

void ReportProblem(const QString& message) {
    WriteLine(stderr, QCoreApplication::applicationName() + ": " + message);
}

int AllOrNothing(const std::function<void()>& work) {
    try {
        work();
        return kAllDone;
    } catch (const std::bad_alloc&) {
        ReportProblem("nothing was written: out of memory.");
    } catch (const std::exception& error) {
        ReportProblem("nothing was written: " + Explained(error));
    }
    return kSomeFailed;
}

void ReportUsageError(const QString& message, const QString& command) {
    ReportProblem(message);
    const QString help = command.isEmpty() ? QString("--help") : command + " --help";
    WriteLine(stderr, "Try '" + QCoreApplication::applicationName() + ' ' + help + "'.");
}

namespace {

// What helps, per problem the errors name.
const std::pair<Problem, const char*> kHints[] = {
    {Problem::EightBitFormat, "Use --format png or tiff."},
    {Problem::AspectRatio,
     "If the picture is a centred crop of the same sensor, add --crop centre."},
    {Problem::ProfileVersion, "Measure it again with velmora-cli tune --profile."},
    {Problem::MemoryBudget, "Give the batch more with --memory."},
    {Problem::OutOfMemory, "Fewer --jobs leave more memory to each picture."},
    {Problem::ShotsDiffer,
     "Give each setting of the lens on the command line, or add --force if they belong "
     "together."},
};

QString Hint(Problem problem) {
    if (problem == Problem::MapTooSmall) {
        return QString(
                   "The map serves pictures up to %1 x %2 pixels; for larger pictures measure "
                   "a lens profile with 'velmora-cli tune REFERENCE --profile FILE' and use "
                   "'filter --profile FILE'.")
            .arg(kMapRowBytes / 3)
            .arg(kMapRows);
    }
    for (const auto& [kind, hint] : kHints) {
        if (kind == problem) return hint;
    }
    return {};
}

}  // namespace

QString Explained(const std::exception& error) {
    QString text = QString::fromStdString(error.what());
    if (const auto* ours = dynamic_cast<const Error*>(&error)) {
        if (const QString hint = Hint(ours->problem()); !hint.isEmpty()) text += ' ' + hint;
    }
    return text;
}

}  // namespace velmora
