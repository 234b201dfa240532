// libFuzzer target: read_command on a real file holding the input, judged
// against the reference (size bound, UTF-8, then the language).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "exchange/documents.h"
#include "oracle.h"

namespace {

namespace fs = std::filesystem;

// One directory for the whole run, removed when the process ends normally.
class FuzzDirectory {
  public:
    FuzzDirectory()
        : path_(fs::temp_directory_path() / ("tarsel-fuzz-" + std::to_string(::getpid()))) {
        fs::create_directories(path_);
    }
    ~FuzzDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    [[nodiscard]] const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const FuzzDirectory directory;
    static const fs::path command = directory.path() / "command.json";
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(command, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", command.c_str());
            std::abort();
        }
    }
    const std::string difference =
        tarsel::testing::disagreement(bytes, tarsel::testing::reference_read_command(bytes),
                                      tarsel::exchange::read_command(command));
    if (!difference.empty()) {
        std::fprintf(stderr, "read_command disagrees with the reference: %s\n", difference.c_str());
        std::abort();
    }
    return 0;
}
