#include "cli/commands.h"
#include "cli/console.h"
#include "engine/master_frame.h"
#include "platform/file_identity.h"
#include "platform/native_path.h"

namespace velmora {

int RunMasterCommand(const MasterOptions& options) {
    const QString written = FileIdentity(options.output);
    for (const QString& frame : options.frames) {
        if (!written.isEmpty() && FileIdentity(frame) == written) {
            ReportProblem("nothing was written: the master " + Native(options.output) +
                          " would replace the frame " + Native(frame) + ".");
            return kUsageError;
        }
    }
    MasterRequest request;
    request.frames = options.frames;
    request.output = options.output;
    request.rule = options.rule;
    request.scale = options.scale == MasterOptions::Scale::Mean     ? FrameScale::Mean
                    : options.scale == MasterOptions::Scale::Median ? FrameScale::Median
                                                                    : FrameScale::None;
    return AllOrNothing([&] {
        WorkPool pool(options.jobs);
        const MasterResult result = CombineMaster(request, pool);
        const FrameInfo& info = result.info;
        const double share =
            result.values > 0 ? 100.0 * double(result.rejected) / double(result.values) : 0;
        const bool replaced = options.rule.method == CombineMethod::Winsorized;
        WriteLine(stdout, QString("Combined %1 frame(s) of %2 x %3%4 into %5; %6 value(s) %7 "
                                  "(%8 %).")
                              .arg(options.frames.size())
                              .arg(info.width)
                              .arg(info.height)
                              .arg(info.channels > 1 ? QString(" x %1").arg(info.channels) : "")
                              .arg(Native(options.output))
                              .arg(result.rejected)
                              .arg(replaced ? "replaced" : "rejected")
                              .arg(share, 0, 'f', 4));
        for (std::size_t f = 1; f < result.scales.size(); ++f) {
            QStringList factors;
            for (const double factor : result.scales[f])
                factors << QString::number(factor, 'f', 5);
            WriteLine(stdout,
                      "  " + Native(options.frames[int(f)]) + " scaled by " + factors.join(", "));
        }
    });
}

}  // namespace velmora
