#pragma once

#include <filesystem>
#include <memory>

namespace tarsel::testing {

// The helper serving `program_data`/TarselVPN with the wireguard.exe in
// `helper_dir`, until it goes out of scope or stop() is called. POSIX: the
// native helper copied into `helper_dir`, in the foreground as developers run
// it. Windows, where the helper only runs as a service: the helper's own
// command loop on a thread of the test.
class ServingHelper {
  public:
    ServingHelper(const std::filesystem::path& helper_dir,
                  const std::filesystem::path& program_data);
    ServingHelper(const ServingHelper&) = delete;
    ServingHelper& operator=(const ServingHelper&) = delete;
    ~ServingHelper();

    // True once the data directory exists and the helper serves it.
    [[nodiscard]] bool serving() const;
    void stop();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tarsel::testing
