#pragma once

#include <filesystem>

namespace tarsel::testing {

// The native helper as a separate process, in the foreground as developers run
// it, serving PROGRAMDATA=`program_data` (the rest of the environment is
// inherited). Stopped with SIGTERM when it goes out of scope.
class ForegroundHelper {
  public:
    ForegroundHelper(const std::filesystem::path& program,
                     const std::filesystem::path& program_data);
    ForegroundHelper(const ForegroundHelper&) = delete;
    ForegroundHelper& operator=(const ForegroundHelper&) = delete;
    ~ForegroundHelper();

    [[nodiscard]] bool started() const { return pid_ > 0; }
    [[nodiscard]] int pid() const { return pid_; }

    // Sends the signal (SIGINT acts as STOP, SIGTERM as SHUTDOWN) and waits
    // for the exit. The exit status, 128 + signal for a killed helper, or -1
    // when it was not running.
    int stop(int signal);

  private:
    int pid_ = -1;
};

}  // namespace tarsel::testing
