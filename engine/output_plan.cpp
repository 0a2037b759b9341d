#include "engine/output_plan.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

#include "engine/map_sidecar.h"
#include "platform/file_identity.h"
#include "platform/native_path.h"
#include "platform/raw_file.h"

namespace velmora {
namespace {

QString OutputFor(const QString& input, const QString& outputFile, const QString& outputFolder,
                  const QString& suffix) {
    if (!outputFile.isEmpty()) return outputFile;
    if (!outputFolder.isEmpty()) {
        return QDir(outputFolder).filePath(QFileInfo(input).fileName() + '.' + suffix);
    }
    return input + '.' + suffix;
}

}  // namespace

std::optional<PhotoFormat> OutputFormatFor(const QString& input,
                                           std::optional<PhotoFormat> format) {
    if (format) return format;
    if (IsRawFile(input)) return std::nullopt;
    PhotoFormat own = PhotoFormat::Tiff;
    FormatForSuffix(input, &own);
    return own;
}

QString OutputSuffixFor(const QString& input, std::optional<PhotoFormat> format) {
    const std::optional<PhotoFormat> chosen = OutputFormatFor(input, format);
    return chosen ? FormatSuffix(*chosen) : QString("dng");
}

OutputPlan PlanOutputs(const QStringList& inputs, const QString& outputFile,
                       const QString& outputFolder, const QString& mapFile, const QString& suffix,
                       const QString& mapName) {
    return PlanOutputs(
        inputs, outputFile, outputFolder, mapFile, [&](const QString&) { return suffix; }, mapName);
}

OutputPlan PlanOutputs(const QStringList& inputs, const QString& outputFile,
                       const QString& outputFolder, const QString& mapFile,
                       const std::function<QString(const QString& input)>& suffixFor,
                       const QString& mapName) {
    OutputPlan plan;
    if (!outputFolder.isEmpty() && !QFileInfo(outputFolder).isDir()) {
        plan.refusal = "the output folder " + Native(outputFolder) + " does not exist.";
        return plan;
    }

    QHash<QString, QString> inputByIdentity;
    for (const QString& input : inputs)
        inputByIdentity.insert(FileIdentity(input), input);
    const QString mapIdentity = FileIdentity(mapFile);
    const QString sidecarFile = SidecarPathFor(mapFile);
    const QString sidecarIdentity = FileIdentity(sidecarFile);

    QHash<QString, QString> inputByOutput;
    for (const QString& input : inputs) {
        const QString output = OutputFor(input, outputFile, outputFolder, suffixFor(input));
        const QString identity = FileIdentity(output);
        if (const auto same = inputByIdentity.constFind(identity);
            same != inputByIdentity.constEnd()) {
            plan.refusal = "the output " + Native(output) + " of " + Native(input) +
                           " is the input " + Native(same.value()) +
                           "; an input is never overwritten.";
            return plan;
        }
        if (identity == mapIdentity) {
            plan.refusal = "the output " + Native(output) + " of " + Native(input) + " is the " +
                           mapName + " " + Native(mapFile) + ".";
            return plan;
        }
        if (identity == sidecarIdentity) {
            plan.refusal = "the output " + Native(output) + " of " + Native(input) +
                           " is the correction map's sidecar " + Native(sidecarFile) + ".";
            return plan;
        }
        if (QFileInfo(output).isDir()) {
            plan.refusal =
                "the output " + Native(output) + " of " + Native(input) + " is a folder.";
            return plan;
        }
        if (const auto earlier = inputByOutput.constFind(identity);
            earlier != inputByOutput.constEnd()) {
            plan.refusal = Native(earlier.value()) + " and " + Native(input) +
                           " would both be written to " + Native(output) + ".";
            return plan;
        }
        inputByOutput.insert(identity, input);
        plan.pictures.push_back({input, output});
    }
    return plan;
}

}  // namespace velmora
