#pragma once

#include <QString>
#include <cstdio>
#include <exception>
#include <functional>

namespace velmora {

// Writes `line` and a line break to `stream` in the locale's encoding, and flushes it.
void WriteLine(std::FILE* stream, const QString& line);

// "velmora-cli: <message>" on stderr.
void ReportProblem(const QString& message);

// "velmora-cli: <message>" and a pointer to the command's help, on stderr.
void ReportUsageError(const QString& message, const QString& command);

// Runs `work`, which writes its files whole or not at all; what it raises is reported as
// "nothing was written: <what failed>". Returns kAllDone, or kSomeFailed when it raised.
int AllOrNothing(const std::function<void()>& work);

// What failed, as the error says it, with the option or command that helps where one does.
QString Explained(const std::exception& error);

}  // namespace velmora
