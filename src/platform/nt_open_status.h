#pragma once

#include <cstdint>

// What an answer of NtCreateFile means for the helper, as a pure decision over
// the status code. Every open in data_dir asks not to wait on an oplock
// (FILE_COMPLETE_IF_OPLOCKED): a user who holds a batch oplock on
// command.json or result.json and never acknowledges its break would
// otherwise hold the service thread inside the open, and STOP with it.
namespace tarsel::platform {

enum class NtOpenOutcome {
    opened,
    // Another handle's oplock is being broken. The system still hands back a
    // handle, but reading or writing through it would wait for the break, so
    // it is closed unused: no command this pass, or a failed write.
    oplock_break_in_progress,
    failed,
};

inline constexpr std::int32_t kStatusSuccess = 0;
inline constexpr std::int32_t kStatusOplockBreakInProgress = 0x00000108;

// Only plain success counts as opened. Other success and information codes
// are not answers NtCreateFile gives to a synchronous open of a file without
// following links; should one come, the open counts as failed rather than
// guess what the handle is.
[[nodiscard]] constexpr NtOpenOutcome nt_open_outcome(std::int32_t status) noexcept {
    if (status == kStatusSuccess) {
        return NtOpenOutcome::opened;
    }
    if (status == kStatusOplockBreakInProgress) {
        return NtOpenOutcome::oplock_break_in_progress;
    }
    return NtOpenOutcome::failed;
}

// Whether NtCreateFile handed back a handle, which then must be closed
// whatever the outcome: it does for every status that is not an error or a
// warning.
[[nodiscard]] constexpr bool nt_open_returned_handle(std::int32_t status) noexcept {
    return status >= 0;
}

}  // namespace tarsel::platform
