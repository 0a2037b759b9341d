#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

#include "platform/file_identity.h"
#include "platform/photo_file.h"

namespace velmora {

struct PlannedPicture {
    QString input;
    QString output;
};

struct OutputPlan {
    std::vector<PlannedPicture> pictures;  // in the order of the inputs
    QString refusal;                       // empty when the plan can be carried out
};

// Where each input's result goes: `outputFile` (for a single input), else
// `outputFolder`/<input file name>.<suffix>, else the input's own name followed by ".<suffix>".
//
// Nothing may be lost, so the plan is refused, with the reason, before any picture is read when
// an output is an input, the map file or its sidecar, an output is a folder, two inputs would be
// written to one output, or the output folder is missing. Names are compared as the files they
// reach: through symbolic links, hard links, "..", and relative or absolute spellings alike.
OutputPlan PlanOutputs(const QStringList& inputs, const QString& outputFile,
                       const QString& outputFolder, const QString& mapFile,
                       const QString& suffix = "bmp", const QString& mapName = "correction map");
// The same with a suffix per input.
OutputPlan PlanOutputs(const QStringList& inputs, const QString& outputFile,
                       const QString& outputFolder, const QString& mapFile,
                       const std::function<QString(const QString& input)>& suffixFor,
                       const QString& mapName);

// The format a lens profile's correction of `input` is written in: `format` where one is
// chosen, else the input's own as its suffix names it (TIFF for one it does not name); none
// for a raw file, which stays raw (a DNG).
std::optional<PhotoFormat> OutputFormatFor(const QString& input, std::optional<PhotoFormat> format);
// Its suffix: the format's, "dng" for none.
QString OutputSuffixFor(const QString& input, std::optional<PhotoFormat> format);

}  // namespace velmora
