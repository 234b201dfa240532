#include <windows.h>

#include <cstddef>
#include <span>
#include <string>

#include "platform/change_records.h"
#include "platform/directory_watch.h"
#include "platform/win32_checked_directory.h"
#include "platform/win32_handles.h"

namespace tarsel::platform {

using win32::UniqueFile;
using win32::UniqueKernelObject;

namespace {

// A new name (created, or renamed into place) and every write.
constexpr DWORD kWatched =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE;

// How many reads that complete at once one wait takes before it stops: a
// writer that never pauses must not keep the wait from returning.
constexpr int kMostReadsPerWait = 16;

DWORD milliseconds_rounded_up(std::chrono::nanoseconds timeout) {
    if (timeout <= std::chrono::nanoseconds::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
    return ms >= static_cast<long long>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
}

}  // namespace

struct DirectoryWatch::State {
    UniqueFile directory;
    UniqueKernelObject completed;  // manual reset, set when a read completes
    OVERLAPPED overlapped{};
    bool reading = false;
    std::wstring name;
    // FILE_NOTIFY_INFORMATION records are DWORD-aligned. What does not fit
    // makes the read report nothing, which counts as a change.
    DWORD buffer[2048];

    // Starts the next read of changes; false when the system refuses it.
    bool start_read() {
        (void)::ResetEvent(completed.get());
        overlapped = OVERLAPPED{};
        overlapped.hEvent = completed.get();
        reading = ::ReadDirectoryChangesW(directory.get(), buffer, sizeof buffer, FALSE, kWatched,
                                          nullptr, &overlapped, nullptr) != 0;
        return reading;
    }

    // The records of a completed read name the watched file, or cannot be
    // trusted to say it does not. `bytes` is the count the read reported; one
    // larger than the buffer counts as a change, and nothing past it is read.
    [[nodiscard]] bool names_watched_file(DWORD bytes) const {
        if (bytes > sizeof buffer) {
            return true;
        }
        const auto reported =
            std::span<const std::byte>(reinterpret_cast<const std::byte*>(buffer), bytes);
        const auto same_name = [this](std::span<const std::byte> record_name) {
            return ::CompareStringOrdinal(reinterpret_cast<const wchar_t*>(record_name.data()),
                                          static_cast<int>(record_name.size() / sizeof(wchar_t)),
                                          name.c_str(), static_cast<int>(name.size()),
                                          TRUE) == CSTR_EQUAL;
        };
        return walk_change_records(reported, same_name) != ChangeRecords::other_files_only;
    }

    ~State() {
        // The system writes into the buffer until the read is over, so it
        // must be over before the buffer goes.
        if (reading) {
            DWORD bytes = 0;
            (void)::CancelIoEx(directory.get(), &overlapped);
            (void)::GetOverlappedResult(directory.get(), &overlapped, &bytes, TRUE);
        }
    }
};

std::optional<DirectoryWatch> DirectoryWatch::open(const Path& directory, const Path& file_name) {
    auto checked =
        win32::open_checked_directory(directory, FILE_LIST_DIRECTORY, FILE_FLAG_OVERLAPPED);
    if (!checked) {
        return std::nullopt;
    }
    StatePtr state(new State());
    state->directory = std::move(*checked);
    state->name = file_name.native();
    state->completed = UniqueKernelObject(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!state->completed || !state->start_read()) {
        return std::nullopt;
    }
    return DirectoryWatch(std::move(state));
}

void DirectoryWatch::StateDeleter::operator()(State* state) const noexcept {
    delete state;
}

WatchWake DirectoryWatch::wait(std::chrono::nanoseconds timeout, const WakeSignal& signal) {
    State& s = *state_;
    if (!s.reading && !s.start_read()) {
        return WatchWake::broken;
    }
    const HANDLE waited[2] = {reinterpret_cast<HANDLE>(signal.native()), s.completed.get()};
    const DWORD first = signal.valid() ? 0 : 1;
    const DWORD ready = ::WaitForMultipleObjects(2 - first, waited + first, FALSE,
                                                 milliseconds_rounded_up(timeout));
    if (ready == WAIT_TIMEOUT) {
        return WatchWake::timed_out;
    }
    if (ready == WAIT_OBJECT_0 && first == 0) {
        return WatchWake::signalled;
    }
    if (ready != WAIT_OBJECT_0 + (1 - first)) {
        return WatchWake::broken;
    }
    // Take this read's records, then each read that completes at once: the
    // system keeps the changes made between reads for the next one.
    WatchWake found = WatchWake::unrelated;
    for (int reads = 0; reads < kMostReadsPerWait; ++reads) {
        DWORD bytes = 0;
        if (!::GetOverlappedResult(s.directory.get(), &s.overlapped, &bytes, FALSE)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_IO_INCOMPLETE) {
                return found;
            }
            s.reading = false;
            // More changes than the buffer holds: the file may be among them.
            if (error != ERROR_NOTIFY_ENUM_DIR) {
                return WatchWake::broken;
            }
            found = WatchWake::changed;
            if (!s.start_read()) {
                return WatchWake::broken;
            }
            continue;
        }
        s.reading = false;
        if (s.names_watched_file(bytes)) {
            found = WatchWake::changed;
        }
        if (!s.start_read()) {
            return WatchWake::broken;
        }
    }
    return found;
}

}  // namespace tarsel::platform
