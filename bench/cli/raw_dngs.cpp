// The raw part of the batch benchmark (raw_throughput.sh runs it):
//   velmora_raw_dngs make DIR COUNT WIDTH HEIGHT
//     writes DIR/card.dng (an evenly lit grey card) and DIR/light-N.dng (a scene), 14-bit Bayer
//     DNGs through a falloff that differs per colour, a black level per position and photon
//     noise;
//   velmora_raw_dngs copy DIR JOBS INPUT...
//     reads each INPUT with LibRaw and writes it to DIR as a DNG, JOBS at a time: what velmora-cli
//     does but for the correction, through the same libraries.
#include <QString>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "correction/cfa_planes.h"
#include "platform/dng_writer.h"
#include "platform/raw_file.h"

using namespace velmora;

namespace {

void Make(const QString& dir, int count, int width, int height) {
    RawHeader header;
    header.width = width;
    header.height = height;
    header.cfa = CfaFromLetters("RGGB");
    header.levels.black = {512, 514, 510, 516};
    header.levels.white = 16383;
    header.make = "Velmora";
    header.model = "Bench Camera";
    header.uniqueModel = "Velmora Bench Camera";
    header.colour.matrix1 = {0.9, -0.3, -0.1, -0.4, 1.2, 0.2, -0.1, 0.2, 0.6};
    header.colour.asShotNeutral = {0.5, 1, 0.7};
    std::vector<std::uint16_t> samples(std::size_t(width) * std::size_t(height));
    for (int n = 0; n <= count; ++n) {
        std::mt19937 random(std::uint32_t(n + 1));
        std::normal_distribution<double> unit(0, 1);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const int p = PositionAt(header.cfa, x, y);
                const int colour = header.cfa.colour[std::size_t(p)];
                const double dx = (x - width / 2.0) / (width / 2.0);
                const double dy = (y - height / 2.0) / (height / 2.0);
                const double falloff = 1 - (0.5 - 0.08 * colour) * (dx * dx + dy * dy) / 2;
                const double scene =
                    n == 0 ? 9000
                           : 3000 + 2500 * std::sin(x / 97.0 + n) * std::cos(y / 61.0 + colour);
                const double signal = scene * falloff;
                const double value = signal + std::sqrt(std::max(signal, 1.0)) * unit(random) +
                                     header.levels.black[std::size_t(p)];
                samples[std::size_t(y) * std::size_t(width) + std::size_t(x)] =
                    std::uint16_t(std::clamp(std::nearbyint(value), 0.0, 16383.0));
            }
        }
        DngImage image;
        image.header = &header;
        image.samples = ImageView<const std::uint16_t>::Packed(samples.data(), width, height, 1, 1);
        const QString name =
            n == 0 ? "card.dng" : QString("light-%1.dng").arg(n, 3, 10, QChar('0'));
        WriteDng(image, dir + "/" + name, {}, Durability::FlushLater);
    }
}

void Copy(const QString& dir, int jobs, const std::vector<QString>& inputs) {
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> threads;
    for (int j = 0; j < jobs; ++j) {
        threads.emplace_back([&] {
            for (std::size_t i; (i = next++) < inputs.size();) {
                const RawPicture picture = ReadRaw(inputs[i]);
                DngImage image;
                image.header = &picture.header;
                image.samples = picture.view();
                WriteDng(image, dir + "/" + QString::number(i) + ".dng", inputs[i],
                         Durability::FlushLater);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "make" && argc == 6) {
        Make(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
        return 0;
    }
    if (command == "copy" && argc > 4) {
        Copy(argv[2], std::atoi(argv[3]), std::vector<QString>(argv + 4, argv + argc));
        return 0;
    }
    std::fprintf(stderr,
                 "usage: velmora_raw_dngs make DIR COUNT WIDTH HEIGHT | copy DIR JOBS INPUT...\n");
    return 2;
}
