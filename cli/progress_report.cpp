#include "cli/progress_report.h"

#include <QByteArray>
#include <cmath>

#include "cli/console.h"

namespace velmora {
namespace {

// Redrawing more often than this only costs time on a slow terminal.
constexpr std::chrono::milliseconds kRedrawInterval{100};

QString Seconds(double seconds) {
    if (seconds < 60) return QString::number(seconds, 'f', seconds < 10 ? 1 : 0) + " s";
    const long long whole = std::llround(seconds);
    return QString("%1 min %2 s").arg(whole / 60).arg(whole % 60);
}

}  // namespace

ProgressReport::ProgressReport(int total, bool live, bool finalLine, std::FILE* stream)
    : total_(total), live_(live), finalLine_(finalLine), stream_(stream) {
    std::lock_guard lock(mutex_);
    Redraw(true);
}

void ProgressReport::Succeeded() {
    std::lock_guard lock(mutex_);
    ++done_;
    Redraw(done_ + failed_ == total_);
}

void ProgressReport::Failed(const QString& message) {
    Line(stream_, message, 1);
}

void ProgressReport::Warn(const QString& message) {
    Line(stream_, message, 0);
}

void ProgressReport::Note(const QString& message) {
    Line(stdout, message, 0);
}

void ProgressReport::Line(std::FILE* stream, const QString& message, int failed) {
    std::lock_guard lock(mutex_);
    failed_ += failed;
    ClearLiveLine();
    WriteLine(stream, message);
    Redraw(true);
}

void ProgressReport::Finish() {
    std::lock_guard lock(mutex_);
    ClearLiveLine();
    if (!finalLine_) return;
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    WriteLine(stream_, QString("%1 of %2 done, %3 failed, in %4.")
                           .arg(done_)
                           .arg(total_)
                           .arg(failed_)
                           .arg(Seconds(seconds)));
}

int ProgressReport::failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

QString ProgressReport::LiveLine(Clock::time_point now) const {
    const int finished = done_ + failed_;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    QString line = QString("%1/%2").arg(finished).arg(total_);
    if (finished == 0 || seconds <= 0) return line + "  -- pictures/s";
    const double rate = finished / seconds;
    line += QString("  %1 pictures/s").arg(rate, 0, 'f', 1);
    if (finished < total_) line += "  " + Seconds((total_ - finished) / rate) + " left";
    return line;
}

void ProgressReport::Redraw(bool force) {
    if (!live_) return;
    const Clock::time_point now = Clock::now();
    if (!force && lineShown_ && now - lastDrawn_ < kRedrawInterval) return;
    // Carriage return and "erase to end of line": the line is rewritten where it stands.
    const QByteArray bytes = ("\r\033[K" + LiveLine(now)).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream_);
    std::fflush(stream_);
    lastDrawn_ = now;
    lineShown_ = true;
}

void ProgressReport::Abandon() {
    std::lock_guard lock(mutex_);
    ClearLiveLine();
}

void ProgressReport::ClearLiveLine() {
    if (!lineShown_) return;
    std::fputs("\r\033[K", stream_);
    std::fflush(stream_);
    lineShown_ = false;
}

}  // namespace velmora
