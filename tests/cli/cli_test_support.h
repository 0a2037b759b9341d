#pragma once

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QTest>

#include "correction/correction_map.h"

namespace velmora::clitest {

struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs the real velmora-cli in `folder`, with stderr a pipe (so no live progress line).
inline CliRun RunCli(const QStringList& arguments, const QString& folder) {
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(QStringLiteral(VELMORA_CLI), arguments);
    CliRun run;
    if (!process.waitForFinished(300000) || process.exitStatus() != QProcess::NormalExit) {
        run.err = "velmora-cli did not finish: " + process.errorString();
        return run;
    }
    run.exitCode = process.exitCode();
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

// A picture with smooth colour ramps and noise, so every byte value and every lane occurs.
inline QImage MakeImage(int width, int height, quint32 seed) {
    QImage image(width, height, QImage::Format_RGB888);
    QRandomGenerator rng(seed);
    for (int y = 0; y < height; ++y) {
        uchar* line = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            line[3 * x] = uchar((x * 255 / std::max(width - 1, 1) + rng.bounded(40)) & 0xFF);
            line[3 * x + 1] = uchar((y * 255 / std::max(height - 1, 1) + rng.bounded(40)) & 0xFF);
            line[3 * x + 2] = uchar(rng.bounded(256));
        }
    }
    return image;
}

// Writes a picture in the format the name's suffix says (jpg, png, bmp).
inline bool WritePicture(const QString& path, int width, int height, quint32 seed) {
    return MakeImage(width, height, seed).save(path);
}

inline QByteArray ReadFileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

inline bool WriteFileBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Random map cells up to `largest`, as the store's raw bytes.
inline QByteArray RandomMapBytes(quint32 seed, int largest) {
    QByteArray bytes(qsizetype(kMapBytes), Qt::Uninitialized);
    QRandomGenerator rng(seed);
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = char(rng.bounded(largest + 1));
    return bytes;
}

// Every file below `folder` with a digest of its bytes: equal listings mean nothing was written.
inline QMap<QString, QByteArray> Listing(const QString& folder) {
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::System | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(folder).relativeFilePath(path),
                     QCryptographicHash::hash(ReadFileBytes(path), QCryptographicHash::Sha1));
    }
    return files;
}

}  // namespace velmora::clitest
