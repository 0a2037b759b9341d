// Writes the benchmark's pictures: COUNT photo-like JPEGs of WIDTH x HEIGHT, darkened towards
// their corners, and a flat reference with the same darkening to tune the map from.
//
//   velmora_make_pictures FOLDER [COUNT] [WIDTH] [HEIGHT]

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QImageWriter>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

// Brightness factor of a lens that loses about 40 % of the light in the corners.
double Vignette(int x, int y, int width, int height) {
    const double dx = (x - width / 2.0) / (width / 2.0);
    const double dy = (y - height / 2.0) / (height / 2.0);
    return 1.0 - 0.2 * (dx * dx + dy * dy);
}

bool Write(const QImage& image, const QString& path, int quality) {
    QImageWriter writer(path);
    writer.setQuality(quality);
    if (writer.write(image)) return true;
    std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(path),
                 qPrintable(writer.errorString()));
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: %s FOLDER [COUNT] [WIDTH] [HEIGHT]\n", argv[0]);
        return 2;
    }
    const QDir folder(args[1]);
    const int count = args.value(2, "100").toInt();
    const int width = args.value(3, "1600").toInt();
    const int height = args.value(4, "1200").toInt();
    if (!QDir().mkpath(folder.path()) || count < 1 || width < 2 || height < 2) return 2;

    std::vector<float> light(std::size_t(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            light[std::size_t(y) * width + x] = float(Vignette(x, y, width, height));

    QImage reference(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        uchar* line = reference.scanLine(y);
        for (int x = 0; x < width; ++x) {
            const int value = int(std::lround(210 * light[std::size_t(y) * width + x]));
            line[3 * x] = line[3 * x + 1] = line[3 * x + 2] = uchar(value);
        }
    }
    if (!Write(reference, folder.filePath("reference.png"), -1)) return 1;

    // Smooth colour fields plus a little grain, so the JPEGs carry about as much detail as photos.
    std::mt19937 rng(20240601);
    std::normal_distribution<float> grain(0.0f, 6.0f);
    QImage picture(width, height, QImage::Format_RGB888);
    for (int i = 0; i < count; ++i) {
        const double phase = 0.37 * i;
        for (int y = 0; y < height; ++y) {
            uchar* line = picture.scanLine(y);
            for (int x = 0; x < width; ++x) {
                const double u = x / 97.0 + phase;
                const double v = y / 131.0 - phase;
                const float gain = light[std::size_t(y) * width + x];
                const double base[3] = {128 + 90 * std::sin(u + 0.6 * std::cos(v)),
                                        128 + 90 * std::sin(0.7 * v + 0.3 * u + 1.0),
                                        128 + 90 * std::cos(0.5 * u - 0.8 * v)};
                for (int c = 0; c < 3; ++c) {
                    const double value = (base[c] + grain(rng)) * gain;
                    line[3 * x + c] = uchar(std::clamp(value, 0.0, 255.0));
                }
            }
        }
        if (!Write(picture, folder.filePath(QString("picture-%1.jpg").arg(i, 3, 10, QChar('0'))),
                   90)) {
            return 1;
        }
    }
    return 0;
}
