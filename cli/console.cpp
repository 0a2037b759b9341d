#include "cli/console.h"

#include <QCoreApplication>

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

}  // namespace velmora
