// The window's own costs on a 1600 x 1200 JPEG, driven offscreen through the handlers:
// "load" (decode, convert to the byte model, show), "filtering" (read-in, correct, write-back,
// repaint), "save(bmp)", and "tuning" with its store of "data.dat" for comparison.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>

#include "window/form1.h"

namespace {

const QString kSample = QStringLiteral(VELMORA_EXAMPLES_DIR "/sample.jpg");
const QString kReference = QStringLiteral(VELMORA_EXAMPLES_DIR "/reference.jpg");

QLineEdit* Text(velmora::Form1& form, const char* name) {
    return form.findChild<QLineEdit*>(QLatin1String(name));
}

// A shown window with `picture` loaded, the map tuned on the reference.
struct Window {
    velmora::Form1 form;

    explicit Window(const QString& picture) {
        form.show();
        Text(form, "Text1")->setText(kReference);
        form.Command1_Click();
        form.Command2_Click();
        Text(form, "Text1")->setText(picture);
        form.Command1_Click();
        QApplication::processEvents();
    }
};

void BM_Load(benchmark::State& state) {
    Window window(kSample);
    for (auto _ : state) {
        window.form.Command1_Click();
    }
}
BENCHMARK(BM_Load)->Name("load")->Unit(benchmark::kMillisecond);

void BM_Filtering(benchmark::State& state) {
    Window window(kSample);
    const bool highlights = state.range(0) != 0;
    if (highlights) window.form.findChild<QCheckBox*>("Check1")->setChecked(true);
    for (auto _ : state) {
        window.form.Command3_Click();
    }
}
BENCHMARK(BM_Filtering)
    ->Name("filtering")
    ->ArgName("highlights")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

void BM_Save(benchmark::State& state) {
    Window window(kSample);
    Text(window.form, "Text2")->setText(QDir::current().filePath("out.bmp"));
    for (auto _ : state) {
        window.form.Command4_Click();
    }
}
BENCHMARK(BM_Save)->Name("save(bmp)")->Unit(benchmark::kMillisecond);

void BM_Tuning(benchmark::State& state) {
    Window window(kReference);
    for (auto _ : state) {
        window.form.Command2_Click();
    }
}
BENCHMARK(BM_Tuning)->Name("tuning (with data.dat)")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // data.dat and the saved pictures go to a folder of their own.
    QTemporaryDir folder;
    QDir::setCurrent(folder.path());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
