#include <QCoreApplication>
#include <QGuiApplication>
#include <algorithm>
#include <cstring>
#include <memory>

#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "engine/picture_memory.h"

int main(int argc, char* argv[]) {
    velmora::ReusePictureBuffers();
    // Drawing a profile needs fonts, which come with the GUI's platform; it draws off screen
    // and needs no display.
    const bool drawing = argc > 1 && std::strcmp(argv[1], "profiles") == 0 &&
                         std::any_of(argv + 2, argv + argc, [](const char* argument) {
                             return std::strncmp(argument, "--plot", 6) == 0;
                         });
    if (drawing) qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::unique_ptr<QCoreApplication> application =
        drawing ? std::make_unique<QGuiApplication>(argc, argv)
                : std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName("velmora-cli");
    QCoreApplication::setApplicationVersion(VELMORA_VERSION);

    using velmora::CommandLine;
    const CommandLine command = velmora::ParseCommandLine(QCoreApplication::arguments());
    switch (command.action) {
        case CommandLine::Action::ShowHelp:
        case CommandLine::Action::ShowVersion:
            velmora::WriteLine(stdout, command.text.trimmed());
            return velmora::kAllDone;
        case CommandLine::Action::Tune:
            if (!command.tune.profileFile.isEmpty()) {
                velmora::StartPhotoLibrary(argv[0]);
                return velmora::RunProfileTuneCommand(command.tune);
            }
            return velmora::RunTuneCommand(command.tune);
        case CommandLine::Action::Filter:
            if (command.filter.byProfile()) velmora::StartPhotoLibrary(argv[0]);
            return velmora::RunFilterCommand(command.filter);
        case CommandLine::Action::Profiles:
            velmora::StartPhotoLibrary(argv[0]);
            return velmora::RunProfilesCommand(command.profiles);
        case CommandLine::Action::Master:
            velmora::StartPhotoLibrary(argv[0]);
            return velmora::RunMasterCommand(command.master);
        case CommandLine::Action::UsageError:
            break;
    }
    velmora::ReportUsageError(command.text, command.command);
    return velmora::kUsageError;
}
