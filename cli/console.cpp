#include "cli/console.h"

#include <QCoreApplication>

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

void ReportUsageError(const QString& message, const QString& command) {
    ReportProblem(message);
    const QString help = command.isEmpty() ? QString("--help") : command + " --help";
    WriteLine(stderr, "Try '" + QCoreApplication::applicationName() + ' ' + help + "'.");
}

namespace {

QString Hint(Problem problem) {
    switch (problem) {
        case Problem::EightBitFormat:
            return "Use --format png or tiff.";
        case Problem::AspectRatio:
            return "If the picture is a centred crop of the same sensor, add --crop centre.";
        case Problem::ProfileVersion:
            return "Measure it again with velmora-cli tune --profile.";
        case Problem::MemoryBudget:
            return "Give the batch more with --memory.";
        case Problem::OutOfMemory:
            return "Fewer --jobs leave more memory to each picture.";
        case Problem::ShotsDiffer:
            return "Give each setting of the lens on the command line, or add --force if they "
                   "belong together.";
        case Problem::MapTooSmall:
            return QString(
                       "The map serves pictures up to %1 x %2 pixels; for larger pictures "
                       "measure a lens profile with 'velmora-cli tune REFERENCE --profile "
                       "FILE' and use 'filter --profile FILE'.")
                .arg(kMapRowBytes / 3)
                .arg(kMapRows);
        case Problem::Unspecified:
            break;
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
