#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "platform/file_identity.h"

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

}  // namespace velmora
