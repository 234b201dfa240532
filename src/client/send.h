#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "client/request.h"
#include "platform/environment.h"

// One whole request, as the client library and tarselctl make it: choose a
// fresh nonce, replace command.json, wait for the result that echoes it.
namespace tarsel::client {

enum class SendStatus {
    ok,           // the helper carried the action out
    failed,       // the helper answered not ok; the text is its error text
    timeout,      // no answer in time
    local_error,  // the command could not be written
};

struct SendReport {
    SendStatus status = SendStatus::local_error;
    // UTF-8; empty for ok. For failed exactly the helper's error text, which
    // may be empty; otherwise a sentence that says what happened and why.
    std::string text;
    std::uint64_t nonce = 0;  // the command's, once chosen
};

// A wait of at most the given time that ends early when result.json changes.
using ResultWait = std::function<void(Clock::duration)>;
// Sets up a ResultWait on result.json in the data directory; null when the
// system will not watch it, and the plain sleep serves instead.
using ResultWatch = std::function<ResultWait(const platform::Path& data_dir)>;

// What a request reaches the world through; tests drive a fake clock.
struct SendSeams {
    std::function<std::uint64_t()> random;
    std::function<Clock::time_point()> now;
    std::function<void(Clock::duration)> sleep;
    // Shows progress while waiting; null when nobody is watching.
    std::function<void(std::string_view)> show_progress;
    // Set up before the command goes out, so the answer's change is not
    // missed; null means the plain sleep between reads of result.json.
    ResultWatch watch_result;
};

// The real clock, sleep, random source and change wait; no progress.
[[nodiscard]] SendSeams default_send_seams();

// The system's change wait on result.json: the answer is read as soon as the
// helper has written it, and the read every kResultPollInterval stays as the
// backstop. Changes to other files in the directory do not end the wait.
[[nodiscard]] ResultWait watch_result_file(const platform::Path& data_dir);

[[nodiscard]] SendReport send_request(const platform::Path& data_dir, std::string_view action,
                                      Clock::duration timeout, const SendSeams& seams);

}  // namespace tarsel::client
