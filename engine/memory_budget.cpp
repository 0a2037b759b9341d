#include "engine/memory_budget.h"

#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <regex>

#include "correction/error.h"

namespace velmora {

MemoryBudget::MemoryBudget(std::int64_t bytes) : total_(bytes) {}

std::int64_t MemoryBudget::MachineShare() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long size = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || size <= 0) return std::int64_t(4) << 30;
    return std::int64_t(pages) * size / 2;
}

MemoryBudget::Hold& MemoryBudget::Hold::operator=(Hold&& other) noexcept {
    if (this != &other) {
        Release();
        budget_ = other.budget_;
        bytes_ = other.bytes_;
        picture_ = other.picture_;
        other.budget_ = nullptr;
        other.bytes_ = 0;
    }
    return *this;
}

void MemoryBudget::Hold::Release() {
    if (budget_ != nullptr) budget_->Let(*this);
    budget_ = nullptr;
    bytes_ = 0;
}

void MemoryBudget::Let(const Hold& hold) {
    {
        const std::lock_guard lock(mutex_);
        if (hold.picture_) {
            pictures_ -= hold.bytes_;
            --inFlight_;
        } else {
            batch_ -= hold.bytes_;
        }
    }
    freed_.notify_all();
}

namespace {

[[noreturn]] void TooLarge(const std::string& what, std::int64_t bytes, std::int64_t held,
                           std::int64_t total) {
    std::string cause = what + " needs " + MemoryText(bytes);
    if (held > 0) cause += " beside the " + MemoryText(held) + " the batch holds";
    cause += ", more than the memory budget of " + MemoryText(total) + "; nothing was written.";
    throw Error(ErrorKind::Picture, cause, ErrorFields(Problem::MemoryBudget));
}

}  // namespace

MemoryBudget::Hold MemoryBudget::ForPicture(std::int64_t bytes, const std::string& what) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (batch_ + bytes > total_) TooLarge(what, bytes, batch_, total_);
        if (batch_ + pictures_ + bytes <= total_ || inFlight_ == 0) break;
        freed_.wait(lock);
    }
    pictures_ += bytes;
    ++inFlight_;
    Hold hold;
    hold.budget_ = this;
    hold.bytes_ = bytes;
    hold.picture_ = true;
    return hold;
}

MemoryBudget::Hold MemoryBudget::ForBatch(std::int64_t bytes, const std::string& what) {
    const std::lock_guard lock(mutex_);
    if (batch_ + bytes > total_) TooLarge(what, bytes, batch_, total_);
    batch_ += bytes;
    Hold hold;
    hold.budget_ = this;
    hold.bytes_ = bytes;
    return hold;
}

bool MemoryBudget::TryForBatch(std::int64_t bytes, Hold& hold) {
    hold.Release();
    const std::lock_guard lock(mutex_);
    if (batch_ + pictures_ + bytes > total_) return false;
    batch_ += bytes;
    hold.budget_ = this;
    hold.bytes_ = bytes;
    hold.picture_ = false;
    return true;
}

std::optional<std::int64_t> MemorySizeNamed(std::string_view text) {
    static const std::regex size(R"(^\s*(\d+(?:\.\d+)?)\s*(%|[kKmMgGtT])(?:i?B)?\s*$)");
    std::match_results<std::string_view::const_iterator> match;
    if (!std::regex_match(text.begin(), text.end(), match, size)) return {};
    const double number = std::stod(match[1].str());
    const char unit = char(std::toupper(static_cast<unsigned char>(match[2].str().front())));
    const double scale = unit == '%'   ? double(MemoryBudget::MachineShare()) * 2 / 100
                         : unit == 'K' ? 1024.0
                         : unit == 'M' ? 1024.0 * 1024
                         : unit == 'G' ? 1024.0 * 1024 * 1024
                                       : 1024.0 * 1024 * 1024 * 1024;
    if (!(number > 0) || number * scale >= 9e18) return {};
    return std::int64_t(std::llround(number * scale));
}

std::string MemoryText(std::int64_t bytes) {
    // In the units --memory takes: 1 MiB is 1024 x 1024 bytes.
    const double mebibytes = double(bytes) / (1024.0 * 1024.0);
    char text[32];
    if (mebibytes >= 10 * 1024.0) {
        std::snprintf(text, sizeof text, "%.0f GiB", mebibytes / 1024);
    } else if (mebibytes >= 1024) {
        std::snprintf(text, sizeof text, "%.1f GiB", mebibytes / 1024);
    } else if (mebibytes >= 1) {
        std::snprintf(text, sizeof text, "%.0f MiB", mebibytes);
    } else {
        std::snprintf(text, sizeof text, "%.0f KiB", mebibytes * 1024);
    }
    return text;
}

}  // namespace velmora
