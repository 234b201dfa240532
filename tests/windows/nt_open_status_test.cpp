// What each answer of the native open means for a pass or a write. A user's
// oplock being broken must never read as a file opened: the handle it comes
// with would wait for the break on the first read or write.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/nt_open_status.h"

namespace {

using tarsel::platform::NtOpenOutcome;

TEST(NtOpenStatus, OnlyPlainSuccessOpensAndEveryReturnedHandleIsClosed) {
    struct Row {
        const char* desc;
        std::uint32_t status;
        NtOpenOutcome outcome;
        bool handle_returned;
    };
    const Row rows[] = {
        {"success", 0x00000000, NtOpenOutcome::opened, true},
        {"another handle's oplock is being broken", 0x00000108,
         NtOpenOutcome::oplock_break_in_progress, true},
        {"pending, which a synchronous open never is", 0x00000103, NtOpenOutcome::failed, true},
        {"reparse, which an open of the link itself never is", 0x00000104, NtOpenOutcome::failed,
         true},
        {"not found", 0xC0000034, NtOpenOutcome::failed, false},
        {"path not found", 0xC000003A, NtOpenOutcome::failed, false},
        {"access denied", 0xC0000022, NtOpenOutcome::failed, false},
        {"sharing violation", 0xC0000043, NtOpenOutcome::failed, false},
        {"a directory where a file was asked for", 0xC00000BA, NtOpenOutcome::failed, false},
        {"a warning", 0x80000005, NtOpenOutcome::failed, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desc);
        const auto status = static_cast<std::int32_t>(row.status);
        EXPECT_EQ(tarsel::platform::nt_open_outcome(status), row.outcome);
        EXPECT_EQ(tarsel::platform::nt_open_returned_handle(status), row.handle_returned);
    }
}

}  // namespace
