#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// The memory a batch may take for what it holds in bulk, in bytes: the lens profiles it reads,
// the gains it keeps for more than one picture, and the strips of the pictures in flight. A
// picture waits for the memory it needs while others hold it, so that a tight budget lowers the
// pictures in flight rather than being exceeded.
class MemoryBudget {
  public:
    explicit MemoryBudget(std::int64_t bytes);
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // A share of the machine's memory: half of it.
    static std::int64_t MachineShare();

    std::int64_t total() const { return total_; }

    // Memory held until the hold is let go (or destroyed).
    class Hold {
      public:
        Hold() = default;
        Hold(Hold&& other) noexcept { *this = std::move(other); }
        Hold& operator=(Hold&& other) noexcept;
        ~Hold() { Release(); }
        void Release();
        std::int64_t bytes() const { return bytes_; }

      private:
        friend class MemoryBudget;
        MemoryBudget* budget_ = nullptr;
        std::int64_t bytes_ = 0;
        bool picture_ = false;
    };

    // What a picture in flight needs, `what` naming it for the error: waits while other pictures
    // hold the memory. Raises ErrorKind::Picture (Problem::MemoryBudget) when it cannot fit
    // beside what is held for the batch even alone.
    Hold ForPicture(std::int64_t bytes, const std::string& what);
    // What the batch must hold to go on (a lens profile), `what` naming it for the error: never
    // waits. Raises as ForPicture does when it exceeds the budget on its own.
    Hold ForBatch(std::int64_t bytes, const std::string& what);
    // What the batch would like to hold (gains kept for more pictures): only if it fits now.
    bool TryForBatch(std::int64_t bytes, Hold& hold);

  private:
    void Let(const Hold& hold);

    const std::int64_t total_;
    std::mutex mutex_;
    std::condition_variable freed_;
    std::int64_t batch_ = 0;     // held for the batch
    std::int64_t pictures_ = 0;  // held by pictures in flight
    int inFlight_ = 0;
};

// "800M", "4G" (kibi-, mebi-, gibi-, tebibytes, with or without "B" or "iB") or "25%" (of the
// machine's memory) in bytes; none when the text is none of these.
std::optional<std::int64_t> MemorySizeNamed(std::string_view text);

// "1.5 GiB", "240 MiB", "12 KiB": bytes for a message, in the units MemorySizeNamed takes.
std::string MemoryText(std::int64_t bytes);

}  // namespace velmora
