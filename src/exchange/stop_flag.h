#pragma once

#include <atomic>
#include <memory>

namespace tarsel::exchange {

// The one thing the control handler and the command loop share. A heap record
// holding one atomic boolean under shared ownership (shared_ptr's count is
// atomic), so whichever holder lets go last frees it, on whichever thread.
// The boolean goes from false to true once and is never cleared; nothing else
// is published through it, hence relaxed ordering on both sides.
class StopFlag {
  public:
    [[nodiscard]] static StopFlag create() {
        return StopFlag(std::make_shared<std::atomic<bool>>(false));
    }

    StopFlag() = default;  // holds no record

    void set() const noexcept { record_->store(true, std::memory_order_relaxed); }
    [[nodiscard]] bool is_set() const noexcept { return record_->load(std::memory_order_relaxed); }

    // Drops this holder's reference; frees the record when it was the last.
    void release() noexcept { record_.reset(); }
    [[nodiscard]] bool holds_record() const noexcept { return record_ != nullptr; }
    [[nodiscard]] long holders() const noexcept { return record_.use_count(); }

  private:
    explicit StopFlag(std::shared_ptr<std::atomic<bool>> record) : record_(std::move(record)) {}
    std::shared_ptr<std::atomic<bool>> record_;
};

}  // namespace tarsel::exchange
