#include <gtest/gtest.h>

#include <QDir>
#include <QGuiApplication>
#include <QImageReader>
#include <QTemporaryDir>
#include <cmath>
#include <string>
#include <vector>

#include "correction/error.h"
#include "correction/lens_profile.h"
#include "correction/profile_summary.h"
#include "platform/profile_plot.h"

namespace velmora {
namespace {

// A flat whose channel c is level_c (1 + 0.5 x) / (1 + k_c r^2)^2, with r from the centre (0)
// to the corners (1) and x from -1 to 1 across. The tilt, light falling unevenly on the card,
// cancels between the left and the right corners and around every ring, so corners and rings
// show 1 / (1 + k r^2)^2 alone; a summary of one corner, or of the corners' EV rather than
// their light, does not.
struct Falloff {
    const char* name;
    std::int32_t width;
    std::int32_t height;
    std::vector<double> k;  // per channel
};

const std::vector<Falloff>& Falloffs() {
    static const std::vector<Falloff> falloffs{
        {"colour, blue falls off most", 600, 400, {0.6, 1.0, 1.2}},
        {"colour portrait, red falls off most", 400, 600, {1.3, 0.8, 0.4}},
        {"grey", 500, 500, {1.0}},
    };
    return falloffs;
}

double ExpectedEv(double k, double r) {
    return -2 * std::log2(1 + k * r * r);
}

LensProfile MakeProfile(const Falloff& falloff) {
    const std::array<double, 3> levels{0.62, 0.8, 0.55};
    LensProfile profile;
    FlatField& flat = profile.flat;
    flat.width = falloff.width;
    flat.height = falloff.height;
    flat.channels = int(falloff.k.size());
    flat.values.resize(flat.places() * std::size_t(flat.channels));
    const double halfDiagonal = std::hypot(flat.width, flat.height) / 2;
    std::size_t i = 0;
    for (std::int32_t y = 0; y < flat.height; ++y) {
        for (std::int32_t x = 0; x < flat.width; ++x) {
            const double dx = x + 0.5 - flat.width / 2.0;
            const double dy = y + 0.5 - flat.height / 2.0;
            const double r = std::hypot(dx, dy) / halfDiagonal;
            const double tilt = 1 + 0.5 * dx / (flat.width / 2.0);
            for (std::size_t c = 0; c < falloff.k.size(); ++c) {
                flat.values[i++] = float(levels[c] * tilt * std::exp2(ExpectedEv(falloff.k[c], r)));
            }
        }
    }
    for (std::size_t c = 0; c < 3; ++c)
        profile.centre[c] = levels[flat.channels == 1 ? 0 : c];
    return profile;
}

// The corner windows and the rings at the ends lie a few places inside their radius, where
// these falloffs are up to 0.03 EV lighter.
constexpr double kTolerance = 0.04;

TEST(ProfileSummary, CornersCastAndRingsFollowTheFalloff) {
    for (const Falloff& falloff : Falloffs()) {
        SCOPED_TRACE(falloff.name);
        const LensProfile profile = MakeProfile(falloff);
        const int channels = int(falloff.k.size());
        const auto k = [&](int c) { return falloff.k[std::size_t(channels == 1 ? 0 : c)]; };

        const ProfileSummary summary = SummariseProfile(profile);
        EXPECT_EQ(summary.channels, channels);
        for (int c = 0; c < 3; ++c) {
            const double corner = ExpectedEv(k(c), 1);
            EXPECT_NEAR(summary.cornerEv[std::size_t(c)], corner, kTolerance) << "channel " << c;
            EXPECT_NEAR(summary.castEv[std::size_t(c)], corner - ExpectedEv(k(1), 1), kTolerance)
                << "channel " << c;
        }

        const std::vector<std::array<double, 3>> rings = RadialFalloff(profile, 11);
        ASSERT_EQ(rings.size(), 11u);
        for (int i = 0; i < 11; ++i) {
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(rings[std::size_t(i)][std::size_t(c)], ExpectedEv(k(c), i / 10.0),
                            kTolerance)
                    << "radius " << i / 10.0 << ", channel " << c;
            }
        }
    }
}

// A small flat has fewer distinct distances than the plot asks radii for.
TEST(ProfileSummary, RingsWithoutPlacesTakeTheirNeighboursLight) {
    const LensProfile profile = MakeProfile({"small", 30, 20, {0.6, 1.0, 1.2}});
    const std::vector<std::array<double, 3>> rings = RadialFalloff(profile, 101);
    for (std::size_t c = 0; c < 3; ++c) {
        EXPECT_NEAR(rings.front()[c], 0, kTolerance) << "channel " << c;
        for (std::size_t i = 1; i < rings.size(); ++i) {
            ASSERT_TRUE(std::isfinite(rings[i][c])) << "radius " << i << ", channel " << c;
            EXPECT_LE(rings[i][c], rings[i - 1][c] + 1e-9) << "radius " << i << ", channel " << c;
        }
    }
}

TEST(ProfilePlot, WritesAPngOfTheDocumentedSize) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    for (const Falloff& falloff : Falloffs()) {
        SCOPED_TRACE(falloff.name);
        const QString path = folder.filePath(QString(falloff.name) + ".png");
        PlotLensProfile(MakeProfile(falloff), falloff.name, path);
        QImageReader reader(path);
        EXPECT_EQ(reader.format(), "png");
        EXPECT_EQ(reader.size(), QSize(kProfilePlotWidth, kProfilePlotHeight));
        EXPECT_FALSE(reader.read().isNull()) << reader.errorString().toStdString();
    }
}

TEST(ProfilePlot, MissingFolderRaisesNamingTheFileAndLeavesNothing) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString path = folder.filePath("missing/plot.png");
    try {
        PlotLensProfile(MakeProfile(Falloffs().front()), "plot", path);
        FAIL() << "no error for " << path.toStdString();
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), ErrorKind::File);
        EXPECT_NE(std::string(error.what()).find(QDir::toNativeSeparators(path).toStdString()),
                  std::string::npos)
            << error.what();
    }
    EXPECT_TRUE(QDir(folder.path())
                    .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                    .isEmpty());
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Text needs a QGuiApplication; the offscreen platform needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
