#pragma once

// What the quality benchmarks share: running the real velmora-cli, reading what a profile it
// wrote records, their folders and verdicts.

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <vips/vips8>

namespace velmora::bench {

// The benchmark cannot go on: says why and ends the program.
[[noreturn]] inline void Stop(const QString& message) {
    std::fprintf(stderr, "%s\n", qPrintable(message));
    std::exit(1);
}

// Runs velmora-cli to its end; stops the benchmark when it fails.
inline void RunCli(const QString& cli, const QStringList& arguments) {
    QProcess process;
    process.start(cli, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        Stop("velmora-cli " + arguments.join(' ') + " failed:\n" +
             QString::fromLocal8Bit(process.readAllStandardError()));
    }
}

// The smoothing radius the profile records in its description.
inline int ProfileSmoothing(const QString& profile) {
    const vips::VImage image = vips::VImage::new_from_file(profile.toLocal8Bit().constData());
    const QJsonObject description =
        QJsonDocument::fromJson(image.get_string("image-description")).object();
    if (!description.contains("smooth")) Stop(profile + " records no smoothing");
    return description.value("smooth").toInt();
}

// base/name, made.
inline QString Folder(const QString& base, const QString& name) {
    const QString path = QDir(base).filePath(name);
    QDir().mkpath(path);
    return path;
}

inline const char* Verdict(bool met) {
    return met ? "met" : "NOT met";
}

}  // namespace velmora::bench
