#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarsel::testing {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the fixture ends.
class TempDir {
  public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    [[nodiscard]] const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

void write_file(const fs::path& path, std::string_view bytes);
[[nodiscard]] std::string read_file(const fs::path& path);

// The directory that holds the running test program (and the stand-in).
[[nodiscard]] fs::path program_directory();

// The stand-in wireguard.exe. It reads wireguard-standin.cfg beside itself
// (key=value lines: exit, stderr_hex, stdout_hex, sleep_ms, release_cap_ms,
// flood_bytes) and appends what it received to wireguard-standin.log beside
// itself.
struct StandinBehaviour {
    std::uint32_t exit_code = 0;
    std::string standard_error;
    std::string standard_output;
    unsigned sleep_ms = 0;
    // When not 0: after logging its start, waits until release_standin() is
    // called for its directory, or this many milliseconds at most. A test
    // holds wireguard.exe running this way for as long as its checks take,
    // however loaded the machine is.
    unsigned release_cap_ms = 0;
    std::uint64_t flood_bytes = 0;  // this many bytes to each stream, interleaved
    // When not 0: after writing its output, starts a copy of itself that
    // inherits both streams and holds them open until release_standin() is
    // called, or this many milliseconds at most, then exits without waiting
    // for it (exit code 97 when the copy could not be started).
    unsigned pipe_holder_cap_ms = 0;
};

// Copies the stand-in to `directory`/wireguard.exe and gives it a behaviour.
fs::path install_standin(const fs::path& directory, const StandinBehaviour& behaviour = {});
// Also withdraws an earlier release, so that the next gated run waits again.
void set_standin_behaviour(const fs::path& directory, const StandinBehaviour& behaviour);
// Lets a gated stand-in in `directory` go on.
void release_standin(const fs::path& directory);

// One run of the stand-in as it recorded it.
struct StandinRun {
    std::string command_line;            // Windows only: GetCommandLineW as UTF-8
    std::vector<std::string> arguments;  // argv[1..], as UTF-8
};
[[nodiscard]] std::vector<StandinRun> standin_runs(const fs::path& directory);

}  // namespace tarsel::testing
