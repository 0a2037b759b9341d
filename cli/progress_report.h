#pragma once

#include <QString>
#include <chrono>
#include <cstdio>
#include <mutex>

namespace velmora {

// The batch's account to the user, safe to call from every worker thread at once.
//   live:      one line, redrawn in place: done/total, pictures per second, time left
//   finalLine: "N done, M failed, in T s" at the end
// A failure or a warning is always reported, on a line of its own above the live line.
class ProgressReport {
  public:
    ProgressReport(int total, bool live, bool finalLine, std::FILE* stream);

    void Succeeded();
    void Failed(const QString& message);
    // A line of its own above the live line, always written; counts nothing.
    void Warn(const QString& message);
    // A line of its own on standard output (what the user asked to be told), above the live line.
    void Note(const QString& message);
    // Ends the live line and writes the final line.
    void Finish();
    // Ends the live line without a final line, for a batch stopped as a whole.
    void Abandon();

    int failed() const;

  private:
    using Clock = std::chrono::steady_clock;

    // `message` on a line of its own above the live line, counting `failed` more failures.
    void Line(std::FILE* stream, const QString& message, int failed);
    QString LiveLine(Clock::time_point now) const;
    void Redraw(bool force);
    void ClearLiveLine();

    const int total_;
    const bool live_;
    const bool finalLine_;
    std::FILE* const stream_;
    const Clock::time_point start_ = Clock::now();
    mutable std::mutex mutex_;
    int done_ = 0;
    int failed_ = 0;
    Clock::time_point lastDrawn_{};
    bool lineShown_ = false;
};

}  // namespace velmora
