// The pictures of the lens profile part of throughput.sh.
//
//   velmora_make_photos --photos DIR --out DIR --count N [--jobs N] [--width W --height H]
//       writes photo-NN.jpg (quality 95) and photo-NN.tif (16 bits): mosaics of the photographs
//       in DIR darkened by a lens of about 2 EV in the corners, and card.jpg, a noisy grey card
//       shot through the same lens;
//   velmora_make_photos --gains PROFILE --out DIR
//       writes what the other programs multiply or divide by, made once from velmora's profile:
//       gain.v (float, C / F per channel on the code values, for `vips multiply`), flat8.png and
//       flat16.tif (F / C as codes, for ImageMagick's DivideSrc).

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>
#include <exception>
#include <string>

#include "engine/work_pool.h"
#include "lens_scene.h"
#include "platform/lens_profile_file.h"

namespace {

using namespace velmora::scene;

// A lens of about 2 EV of falloff in the corners, the same in every colour.
Lens BenchLens() {
    Lens lens;
    lens.name = "2 EV";
    for (auto& k : lens.k)
        k = {-0.9, 0.35, -0.2};
    return lens;
}

std::string Numbered(const std::string& folder, const char* stem, int i, const char* suffix) {
    char name[64];
    std::snprintf(name, sizeof name, "%s-%02d.%s", stem, i, suffix);
    return folder + "/" + name;
}

void MakePhotos(const std::string& photosFolder, const std::string& out, int count, int jobs,
                int width, int height) {
    const std::vector<std::string> photos = PhotosIn(photosFolder);
    const Lens lens = BenchLens();
    velmora::WorkPool pool(jobs);
    pool.ForEach(std::size_t(count) + 1, [&](std::size_t n) {
        const int i = int(n);
        try {
            if (i == count) {
                WriteJpeg(ShootCard(width, height, 0.5, 1.5, lens, 7), out + "/card.jpg", 95);
                return;
            }
            Rgb8 darkened;
            Rgb16 deep;
            ShootPhoto(Mosaic(photos, i, width, height), lens, &darkened, &deep, nullptr, nullptr);
            WriteJpeg(darkened, Numbered(out, "photo", i, "jpg"), 95);
            WriteTiff(deep, Numbered(out, "photo", i, "tif"));
        } catch (const std::exception& error) {
            std::fprintf(stderr, "picture %d: %s\n", i, error.what());
            std::exit(1);
        }
    });
}

void MakeGains(const QString& profileFile, const std::string& out) {
    const velmora::LensProfile profile = velmora::LoadLensProfile(profileFile);
    const velmora::FlatField& flat = profile.flat;
    const int w = flat.width;
    const int h = flat.height;
    std::vector<float> gain(std::size_t(w) * std::size_t(h) * 3);
    Rgb8 flat8{w, h, std::vector<std::uint8_t>(gain.size())};
    Rgb16 flat16{w, h, std::vector<std::uint16_t>(gain.size())};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c) {
                const int fc = flat.channels == 1 ? 0 : c;
                // The flat relative to its centre, as a code value: dividing codes by it is
                // the code-value product of the gain.
                const double relative = double(flat.at(x, y, fc)) / profile.centre[std::size_t(fc)];
                const double code = std::max(LinearToSrgb(std::min(relative, 1.0)), 1.0 / 16);
                const std::size_t i = flat8.index(x, y, c);
                gain[i] = float(1.0 / code);
                flat8.samples[i] = std::uint8_t(std::max(1.0, std::nearbyint(255 * code)));
                flat16.samples[i] = std::uint16_t(std::max(1.0, std::nearbyint(65535 * code)));
            }
        }
    }
    WriteFloat(gain, w, h, 3, out + "/gain.v");
    WritePng(flat8, out + "/flat8.png");
    WriteTiff(flat16, out + "/flat16.tif");
}

int Usage() {
    std::fprintf(stderr,
                 "usage: velmora_make_photos --photos DIR --out DIR --count N [--jobs N] "
                 "[--width W --height H]\n"
                 "       velmora_make_photos --gains PROFILE --out DIR\n");
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    StartVips(argv[0]);
    QString photos, out, gains;
    int count = 0, jobs = 2, width = 6000, height = 4000;
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    for (qsizetype i = 0; i + 1 < arguments.size(); i += 2) {
        const QString& name = arguments[i];
        const QString& value = arguments[i + 1];
        if (name == "--photos")
            photos = value;
        else if (name == "--out")
            out = value;
        else if (name == "--gains")
            gains = value;
        else if (name == "--count")
            count = value.toInt();
        else if (name == "--jobs")
            jobs = value.toInt();
        else if (name == "--width")
            width = value.toInt();
        else if (name == "--height")
            height = value.toInt();
        else
            return Usage();
    }
    if (out.isEmpty() || arguments.size() % 2 != 0) return Usage();
    try {
        if (!gains.isEmpty()) {
            MakeGains(gains, out.toStdString());
        } else {
            if (photos.isEmpty() || count < 1 || jobs < 1) return Usage();
            MakePhotos(photos.toStdString(), out.toStdString(), count, jobs, width, height);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "velmora_make_photos: %s\n", error.what());
        return 1;
    }
    return 0;
}
