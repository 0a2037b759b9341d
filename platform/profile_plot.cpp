#include "platform/profile_plot.h"

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QFontMetricsF>
#include <QImage>
#include <QLineF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <utility>
#include <vector>

#include "correction/atomic_file.h"
#include "correction/error.h"
#include "correction/profile_summary.h"

namespace velmora {
namespace {

constexpr std::array<double, 3> kRec709{0.2126, 0.7152, 0.0722};
constexpr int kRadii = 101;
constexpr double kNoLight = std::numeric_limits<double>::quiet_NaN();

// The layout, in pixels of the picture.
constexpr QRectF kMapBox(40, 110, 650, 550);  // the map keeps the frame's shape inside it
constexpr QRectF kPlotBox(900, 110, 660, 510);

// Viridis at nine evenly spaced points; between them the ramp runs straight in sRGB, close
// enough to the full table that steps of lightness stay even.
constexpr std::array<QRgb, 9> kRamp{0x440154, 0x472c7a, 0x3b518b, 0x2c718e, 0x21908d,
                                    0x27ad81, 0x5cc863, 0xaadc32, 0xfde725};

QRgb RampColour(double t) {
    const double at = std::clamp(t, 0.0, 1.0) * double(kRamp.size() - 1);
    const std::size_t i = std::min(std::size_t(at), kRamp.size() - 2);
    const double f = at - double(i);
    const auto mix = [f](int a, int b) { return int(std::lround(a + f * (b - a))); };
    const QRgb a = kRamp[i];
    const QRgb b = kRamp[i + 1];
    return qRgb(mix(qRed(a), qRed(b)), mix(qGreen(a), qGreen(b)), mix(qBlue(a), qBlue(b)));
}

QColor ChannelColour(int channels, int c) {
    if (channels == 1) return QColor(0x40, 0x40, 0x40);
    const std::array<QColor, 3> colours{QColor(0xd6, 0x27, 0x28), QColor(0x2c, 0xa0, 0x2c),
                                        QColor(0x1f, 0x77, 0xb4)};
    return colours[std::size_t(c)];
}

QString ChannelName(int channels, int c) {
    const std::array<const char*, 3> names{"red", "green", "blue"};
    return channels == 1 ? "grey" : names[std::size_t(c)];
}

QFont Font(int pixels, bool bold = false) {
    QFont font;
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

// "+0.25", "-1.50", "0.00": the sign always, but not on a zero.
QString EvText(double ev, int decimals = 2) {
    const QString digits = QString::number(std::abs(ev), 'f', decimals);
    if (digits.toDouble() == 0) return digits;
    return (ev > 0 ? "+" : "-") + digits;
}

// The luminance falloff in EV on a grid of columns x rows cells, each the mean of the flat
// places whose index falls in it (area averaging, one pass over the flat); NaN where a cell has
// no light.
struct EvGrid {
    int columns = 0;
    int rows = 0;
    std::vector<double> ev;
    double at(int x, int y) const {
        return ev[std::size_t(y) * std::size_t(columns) + std::size_t(x)];
    }
};

EvGrid LuminanceGrid(const LensProfile& profile, int columns, int rows) {
    const FlatField& flat = profile.flat;
    const std::size_t channels = std::size_t(flat.channels);
    std::array<double, 3> weights{1, 0, 0};
    if (channels == 3) weights = kRec709;
    double centre = 0;
    for (std::size_t c = 0; c < channels; ++c)
        centre += weights[c] * profile.centre[c];

    std::vector<std::size_t> column(std::size_t(flat.width));
    for (std::size_t x = 0; x < column.size(); ++x)
        column[x] = x * std::size_t(columns) / std::size_t(flat.width);
    std::vector<double> sums(std::size_t(columns) * std::size_t(rows), 0.0);
    std::vector<std::int64_t> counts(sums.size(), 0);
    for (std::int32_t y = 0; y < flat.height; ++y) {
        const std::size_t row = std::size_t(y) * std::size_t(rows) / std::size_t(flat.height);
        const float* values = flat.values.data() + std::size_t(y) * column.size() * channels;
        for (std::size_t x = 0; x < column.size(); ++x) {
            double light = 0;
            for (std::size_t c = 0; c < channels; ++c)
                light += weights[c] * values[x * channels + c];
            sums[row * std::size_t(columns) + column[x]] += light;
            ++counts[row * std::size_t(columns) + column[x]];
        }
    }
    EvGrid grid{columns, rows, std::vector<double>(sums.size())};
    for (std::size_t i = 0; i < sums.size(); ++i) {
        const double ev = std::log2(sums[i] / double(counts[i]) / centre);
        grid.ev[i] = std::isfinite(ev) ? ev : kNoLight;
    }
    return grid;
}

struct Range {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();

    void Add(double v) {
        if (!std::isfinite(v)) return;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    bool empty() const { return lo > hi; }
};

// The segments where the grid crosses `level`, by marching squares between the cells' centres,
// placed on `onto`. A cell whose corners straddle the level twice (a saddle) is split by its
// mean: the corners on the other side of it from the mean are cut off.
std::vector<QLineF> Contour(const EvGrid& grid, double level, const QRectF& onto) {
    const double cellWidth = onto.width() / grid.columns;
    const double cellHeight = onto.height() / grid.rows;
    const auto place = [&](double x, double y) {
        return QPointF(onto.left() + (x + 0.5) * cellWidth, onto.top() + (y + 0.5) * cellHeight);
    };
    std::vector<QLineF> lines;
    for (int y = 0; y + 1 < grid.rows; ++y) {
        for (int x = 0; x + 1 < grid.columns; ++x) {
            // Clockwise from the top left; edge k runs from corner k to corner k + 1.
            const std::array<double, 4> v{grid.at(x, y), grid.at(x + 1, y), grid.at(x + 1, y + 1),
                                          grid.at(x, y + 1)};
            const std::array<QPointF, 4> p{QPointF(x, y), QPointF(x + 1, y), QPointF(x + 1, y + 1),
                                           QPointF(x, y + 1)};
            if (!std::all_of(v.begin(), v.end(), [](double e) { return std::isfinite(e); }))
                continue;
            std::array<bool, 4> above{};
            for (std::size_t k = 0; k < 4; ++k)
                above[k] = v[k] >= level;
            std::array<QPointF, 4> crossing;
            std::array<std::size_t, 4> crossed{};
            std::size_t count = 0;
            for (std::size_t k = 0; k < 4; ++k) {
                const std::size_t next = (k + 1) % 4;
                if (above[k] == above[next]) continue;
                const double t = (level - v[k]) / (v[next] - v[k]);
                const QPointF at = p[k] + t * (p[next] - p[k]);
                crossing[k] = place(at.x(), at.y());
                crossed[count++] = k;
            }
            if (count == 2) {
                lines.emplace_back(crossing[crossed[0]], crossing[crossed[1]]);
            } else if (count == 4) {
                const bool meanAbove = (v[0] + v[1] + v[2] + v[3]) / 4 >= level;
                for (std::size_t k = 0; k < 4; ++k) {
                    if (above[k] != meanAbove)
                        lines.emplace_back(crossing[(k + 3) % 4], crossing[k]);
                }
            }
        }
    }
    return lines;
}

// The first of the usual steps that cuts `span` into at most `most` parts.
double TickStep(double span, double most) {
    for (double step : {0.1, 0.2, 0.25, 0.5, 1.0, 2.0, 5.0}) {
        if (span / step <= most) return step;
    }
    return 10.0;
}

int Decimals(double step) {
    return std::abs(step * 10 - std::round(step * 10)) > 1e-9 ? 2 : 1;
}

void DrawTitle(QPainter& painter, const LensProfile& profile, const QString& title) {
    const QRectF line(20, 8, kProfilePlotWidth - 40, 32);
    painter.setFont(Font(22, true));
    painter.setPen(Qt::black);
    painter.drawText(
        line, Qt::AlignCenter,
        QFontMetricsF(painter.font()).elidedText(title, Qt::ElideMiddle, line.width()));
    const FlatField& flat = profile.flat;
    painter.setFont(Font(14));
    painter.setPen(QColor(0x55, 0x55, 0x55));
    painter.drawText(QRectF(20, 42, kProfilePlotWidth - 40, 22), Qt::AlignCenter,
                     QString("%1 x %2 places, %3, %4-bit references, smoothed with radius %5")
                         .arg(flat.width)
                         .arg(flat.height)
                         .arg(flat.channels == 1 ? "grey" : "colour")
                         .arg(profile.referenceBits)
                         .arg(profile.smoothRadius));
}

// A label with a pale ground, centred on `at` but kept inside `inside`; false (and nothing
// drawn) when it would cover one of `taken`.
bool DrawLabel(QPainter& painter, const QString& text, QPointF at, const QRectF& inside,
               std::vector<QRectF>& taken) {
    const QRectF size = QFontMetricsF(painter.font()).boundingRect(text);
    QRectF box(0, 0, size.width() + 6, size.height() + 2);
    box.moveCenter(at);
    box.moveLeft(std::clamp(box.left(), inside.left(), inside.right() - box.width()));
    box.moveTop(std::clamp(box.top(), inside.top(), inside.bottom() - box.height()));
    for (const QRectF& other : taken) {
        if (other.intersects(box)) return false;
    }
    taken.push_back(box);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 210));
    painter.drawRoundedRect(box, 3, 3);
    painter.setPen(Qt::black);
    painter.drawText(box, Qt::AlignCenter, text);
    return true;
}

void DrawColourBar(QPainter& painter, const QRectF& bar, double lo, double hi, double step) {
    QLinearGradient ramp(bar.bottomLeft(), bar.topLeft());
    for (std::size_t i = 0; i < kRamp.size(); ++i)
        ramp.setColorAt(double(i) / double(kRamp.size() - 1), QColor(kRamp[i]));
    painter.setPen(QPen(QColor(0x80, 0x80, 0x80), 1));
    painter.setBrush(ramp);
    painter.drawRect(bar);

    double tick = step;
    while ((hi - lo) / tick > 12)
        tick *= 2;
    painter.setFont(Font(12));
    painter.setPen(Qt::black);
    for (int k = int(std::ceil(lo / tick - 1e-9)); k * tick <= hi + 1e-9; ++k) {
        const double y = bar.bottom() - (k * tick - lo) / (hi - lo) * bar.height();
        painter.drawLine(QPointF(bar.right(), y), QPointF(bar.right() + 5, y));
        painter.drawText(QRectF(bar.right() + 8, y - 9, 60, 18), Qt::AlignLeft | Qt::AlignVCenter,
                         EvText(k * tick, Decimals(tick)));
    }
    painter.drawText(QRectF(bar.left() - 10, bar.bottom() + 6, bar.width() + 20, 18),
                     Qt::AlignCenter, "EV");
}

void DrawMap(QPainter& painter, const LensProfile& profile) {
    const FlatField& flat = profile.flat;
    const double scale = std::min(kMapBox.width() / flat.width, kMapBox.height() / flat.height);
    const int width = std::max(1, int(std::lround(flat.width * scale)));
    const int height = std::max(1, int(std::lround(flat.height * scale)));
    const QRectF map(kMapBox.left(), kMapBox.top(), width, height);

    painter.setFont(Font(16, true));
    painter.setPen(Qt::black);
    painter.drawText(QRectF(kMapBox.left(), 76, kMapBox.width() + 120, 22), Qt::AlignLeft,
                     flat.channels == 1 ? "Light against the centre, EV"
                                        : "Luminance against the centre (Rec. 709), EV");

    const EvGrid grid =
        LuminanceGrid(profile, std::min(width, flat.width), std::min(height, flat.height));
    Range range;
    for (double ev : grid.ev)
        range.Add(ev);
    if (range.empty()) range.lo = range.hi = 0;
    const double step = range.hi - range.lo > 2 ? 0.5 : 0.25;
    // The ramp spans the map's own range, so that all of its lightness goes to the falloff.
    const double lo = range.lo;
    const double hi = std::max(range.hi, lo + step);

    QImage picture(grid.columns, grid.rows, QImage::Format_RGB32);
    for (int y = 0; y < grid.rows; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < grid.columns; ++x) {
            const double ev = grid.at(x, y);
            line[x] = std::isfinite(ev) ? RampColour((ev - lo) / (hi - lo)) : qRgb(128, 128, 128);
        }
    }
    painter.drawImage(map, picture);

    struct Level {
        double ev;
        std::vector<QLineF> lines;
    };
    std::vector<Level> levels;
    for (int k = int(std::floor(range.lo / step)) + 1; k * step < range.hi; ++k)
        levels.push_back({k * step, Contour(grid, k * step, map)});
    painter.save();
    painter.setClipRect(map);
    // Each contour twice, dark under light, to show on both ends of the ramp.
    for (const Level& level : levels) {
        painter.setPen(QPen(QColor(0, 0, 0, 140), 2.6));
        painter.drawLines(level.lines.data(), int(level.lines.size()));
        painter.setPen(QPen(QColor(255, 255, 255, 230), 1.1));
        painter.drawLines(level.lines.data(), int(level.lines.size()));
    }
    painter.restore();

    // A label where the contour meets a diagonal of the frame, the diagonals taken in turn so
    // that neighbouring levels are labelled apart; the next diagonal when that place is taken.
    // Small closed loops (a few cells across) go unlabelled.
    const QPointF middle = map.center();
    const std::array<QPointF, 4> diagonals{map.bottomRight() - middle, map.topLeft() - middle,
                                           map.topRight() - middle, map.bottomLeft() - middle};
    std::vector<QRectF> taken;
    painter.setFont(Font(12));
    for (std::size_t n = 0; n < levels.size(); ++n) {
        const std::vector<QLineF>& lines = levels[n].lines;
        if (lines.size() < 12) continue;
        for (std::size_t turn = 0; turn < diagonals.size(); ++turn) {
            const QPointF towards = diagonals[(n + turn) % diagonals.size()];
            const QLineF* best = nullptr;
            double bestCosine = -2;
            for (const QLineF& line : lines) {
                const QPointF from = line.center() - middle;
                const double length = std::hypot(from.x(), from.y());
                if (length == 0) continue;
                const double cosine = QPointF::dotProduct(from, towards) / length /
                                      std::hypot(towards.x(), towards.y());
                if (cosine > bestCosine) {
                    bestCosine = cosine;
                    best = &line;
                }
            }
            if (best != nullptr &&
                DrawLabel(painter, QString::number(levels[n].ev, 'f', Decimals(step)),
                          best->center(), map, taken))
                break;
        }
    }
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0x80, 0x80, 0x80), 1));
    painter.drawRect(map);

    DrawColourBar(painter, QRectF(map.right() + 24, map.top(), 22, map.height()), lo, hi, step);
}

// The corners' falloff per channel and their cast, with the lines' colours as the key.
void DrawSummaryBox(QPainter& painter, const LensProfile& profile, const QRectF& plot) {
    const ProfileSummary summary = SummariseProfile(profile);
    const int channels = summary.channels;
    QString cast = "No colour cast: a grey profile.";
    if (channels == 3) {
        cast = QString("Colour cast against green: red %1, blue %2 EV")
                   .arg(EvText(summary.castEv[0]))
                   .arg(EvText(summary.castEv[2]));
    }
    painter.setFont(Font(13));
    const QString heading = "Corners against the centre (mean of four)";
    const QFontMetricsF metrics(painter.font());
    const double lineHeight = 20;
    const double width =
        std::max(metrics.horizontalAdvance(cast), metrics.horizontalAdvance(heading)) + 24;
    const double height = lineHeight * (channels + 2) + 12;
    const QRectF box(plot.left() + 14, plot.bottom() - 14 - height, width, height);
    painter.setPen(QPen(QColor(0xa0, 0xa0, 0xa0), 1));
    painter.setBrush(QColor(255, 255, 255, 235));
    painter.drawRect(box);

    double y = box.top() + 6;
    const auto row = [&](double left, double right, const QString& text, int align) {
        painter.drawText(QRectF(left, y, right - left, lineHeight), align | Qt::AlignVCenter, text);
    };
    painter.setPen(Qt::black);
    row(box.left() + 12, box.right() - 12, heading, Qt::AlignLeft);
    y += lineHeight;
    for (int c = 0; c < channels; ++c) {
        const double middle = y + lineHeight / 2;
        painter.setPen(QPen(ChannelColour(channels, c), 2.2));
        painter.drawLine(QPointF(box.left() + 14, middle), QPointF(box.left() + 40, middle));
        painter.setPen(Qt::black);
        row(box.left() + 50, box.left() + 120, ChannelName(channels, c), Qt::AlignLeft);
        row(box.left() + 120, box.left() + 220, EvText(summary.cornerEv[std::size_t(c)]) + " EV",
            Qt::AlignRight);
        y += lineHeight;
    }
    row(box.left() + 12, box.right() - 12, cast, Qt::AlignLeft);
}

void DrawRadial(QPainter& painter, const LensProfile& profile) {
    const FlatField& flat = profile.flat;
    const int channels = flat.channels;
    const std::vector<std::array<double, 3>> falloff = RadialFalloff(profile, kRadii);
    Range range;
    range.Add(0);
    for (const auto& at : falloff) {
        for (int c = 0; c < channels; ++c)
            range.Add(at[std::size_t(c)]);
    }
    const double span = range.hi - range.lo;
    const double step = TickStep(span, 8);
    const double yMin = range.lo - std::max(0.05 * span, 0.05);
    const double yMax = range.hi + std::max(0.05 * span, 0.05);
    const double rMax = 1.05;  // room to show the mark at the corners
    const QRectF& plot = kPlotBox;
    const auto px = [&](double r) { return plot.left() + r / rMax * plot.width(); };
    const auto py = [&](double ev) {
        return plot.bottom() - (ev - yMin) / (yMax - yMin) * plot.height();
    };

    painter.setFont(Font(16, true));
    painter.setPen(Qt::black);
    painter.drawText(QRectF(plot.left(), 76, plot.width(), 22), Qt::AlignLeft,
                     flat.channels == 1 ? "Light against the distance from the centre, EV"
                                        : "Each channel against the distance from the centre, EV");

    painter.setFont(Font(12));
    for (int k = 0; k <= 10; ++k) {
        const double x = px(k / 10.0);
        painter.setPen(QPen(QColor(0xe4, 0xe4, 0xe4), 1));
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        painter.setPen(Qt::black);
        painter.drawLine(QPointF(x, plot.bottom()), QPointF(x, plot.bottom() + 5));
        if (k % 2 == 0) {
            painter.drawText(QRectF(x - 30, plot.bottom() + 7, 60, 18), Qt::AlignCenter,
                             QString::number(k / 10.0, 'f', 1));
        }
    }
    for (int k = int(std::ceil(yMin / step - 1e-9)); k * step <= yMax + 1e-9; ++k) {
        const double y = py(k * step);
        painter.setPen(QPen(k == 0 ? QColor(0x90, 0x90, 0x90) : QColor(0xe4, 0xe4, 0xe4), 1));
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        painter.setPen(Qt::black);
        painter.drawLine(QPointF(plot.left() - 5, y), QPointF(plot.left(), y));
        painter.drawText(QRectF(plot.left() - 70, y - 9, 62, 18), Qt::AlignRight | Qt::AlignVCenter,
                         EvText(k * step, Decimals(step)));
    }
    painter.drawText(QRectF(plot.left(), plot.bottom() + 28, plot.width(), 20), Qt::AlignCenter,
                     "distance from the centre (1 = the corners, half the diagonal)");
    painter.save();
    painter.translate(plot.left() - 78, plot.center().y());
    painter.rotate(-90);
    painter.drawText(QRectF(-plot.height() / 2, -20, plot.height(), 20), Qt::AlignCenter,
                     "EV against the centre");
    painter.restore();

    // The corners, and the middles of the long and of the short sides.
    const double diagonal = std::hypot(double(flat.width), double(flat.height));
    std::vector<std::pair<double, QString>> marks{{1.0, "corner"}};
    if (flat.width == flat.height) {
        marks.emplace_back(flat.width / diagonal, "middle of a side");
    } else {
        marks.emplace_back(std::min(flat.width, flat.height) / diagonal, "middle of a long side");
        marks.emplace_back(std::max(flat.width, flat.height) / diagonal, "middle of a short side");
    }
    for (const auto& [r, name] : marks) {
        const double x = px(r);
        painter.setPen(QPen(QColor(0x60, 0x60, 0x60), 1.2, Qt::DashLine));
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        painter.save();
        painter.translate(x + 4, plot.top() + 6);
        painter.rotate(90);
        painter.setPen(QColor(0x40, 0x40, 0x40));
        painter.drawText(QRectF(0, -18, 200, 16), Qt::AlignLeft | Qt::AlignVCenter, name);
        painter.restore();
    }

    painter.save();
    painter.setClipRect(plot);
    painter.setBrush(Qt::NoBrush);
    for (int c = 0; c < channels; ++c) {
        QPainterPath path;
        bool drawing = false;
        for (int i = 0; i < kRadii; ++i) {
            const double ev = falloff[std::size_t(i)][std::size_t(c)];
            if (!std::isfinite(ev)) {
                drawing = false;
                continue;
            }
            const QPointF at(px(double(i) / (kRadii - 1)), py(ev));
            drawing ? path.lineTo(at) : path.moveTo(at);
            drawing = true;
        }
        painter.setPen(QPen(ChannelColour(channels, c), 2.2));
        painter.drawPath(path);
    }
    painter.restore();
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0x80, 0x80, 0x80), 1));
    painter.drawRect(plot);

    DrawSummaryBox(painter, profile, plot);
}

}  // namespace

void PlotLensProfile(const LensProfile& profile, const QString& title, const QString& path) {
    // Raises on a profile without a flat before anything is drawn.
    SummariseProfile(profile);

    QImage picture(kProfilePlotWidth, kProfilePlotHeight, QImage::Format_RGB32);
    picture.fill(Qt::white);
    {
        QPainter painter(&picture);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                               QPainter::SmoothPixmapTransform);
        DrawTitle(painter, profile, title);
        DrawMap(painter, profile);
        DrawRadial(painter, profile);
    }

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    const std::filesystem::path file(QFile::encodeName(path).constData());
    if (!picture.save(&buffer, "PNG")) {
        throw Error(ErrorKind::File, "cannot save " + file.string() + ": the PNG encoder failed.");
    }
    WriteFileAtomically(file, reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                        std::size_t(bytes.size()), Durability::FlushEachFile);
}

}  // namespace velmora
