#pragma once

#include <atomic>
#include <memory>

#include "platform/wake_signal.h"

namespace tarsel::exchange {

// The one thing the control handler and the command loop share. A heap record
// holding one atomic boolean and the signal that cuts the loop's wait short,
// under shared ownership (shared_ptr's count is atomic), so whichever holder
// lets go last frees both, on whichever thread. The signal therefore lives as
// long as anyone can still raise or wait on it.
//
// The boolean goes from false to true once and is never cleared; nothing else
// is published through it, hence relaxed ordering on both sides. The signal
// only shortens the wait: the loop still reads the boolean at the top of a
// pass, and a signal the system refused leaves it to notice at the next poll.
class StopFlag {
  public:
    [[nodiscard]] static StopFlag create() { return StopFlag(std::make_shared<Record>()); }

    StopFlag() = default;  // holds no record

    // Stores true, then raises the wake. The signal stays raised, so a loop
    // that starts waiting only afterwards returns from that wait at once.
    void set() const noexcept {
        record_->set.store(true, std::memory_order_relaxed);
        record_->wake.raise();
    }
    [[nodiscard]] bool is_set() const noexcept {
        return record_->set.load(std::memory_order_relaxed);
    }
    [[nodiscard]] const platform::WakeSignal& wake() const noexcept { return record_->wake; }

    // Drops this holder's reference; frees the record when it was the last.
    void release() noexcept { record_.reset(); }
    [[nodiscard]] bool holds_record() const noexcept { return record_ != nullptr; }
    [[nodiscard]] long holders() const noexcept { return record_.use_count(); }

  private:
    struct Record {
        std::atomic<bool> set{false};
        platform::WakeSignal wake = platform::WakeSignal::create();
    };
    explicit StopFlag(std::shared_ptr<Record> record) : record_(std::move(record)) {}
    std::shared_ptr<Record> record_;
};

}  // namespace tarsel::exchange
