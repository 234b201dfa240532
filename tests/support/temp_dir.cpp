#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/environment.h"
#include "support/standin_protocol.h"

namespace tarsel::testing {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device seed;
    const auto base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("tarsel-test-" + std::to_string(seed()) + "-" +
                                 std::to_string(counter.fetch_add(1)));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

void write_file(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

fs::path program_directory() {
    auto self = platform::executable_path();
    if (!self)
        throw std::runtime_error("cannot find the test program's own path");
    return self->parent_path();
}

void set_standin_behaviour(const fs::path& directory, const StandinBehaviour& behaviour) {
    std::ostringstream cfg;
    cfg << "exit=" << behaviour.exit_code << '\n'
        << "stderr_hex=" << standin::to_hex(behaviour.standard_error) << '\n'
        << "stdout_hex=" << standin::to_hex(behaviour.standard_output) << '\n'
        << "sleep_ms=" << behaviour.sleep_ms << '\n'
        << "release_cap_ms=" << behaviour.release_cap_ms << '\n'
        << "flood_bytes=" << behaviour.flood_bytes << '\n'
        << "pipe_holder_cap_ms=" << behaviour.pipe_holder_cap_ms << '\n';
    write_file(directory / std::string(standin::kBehaviourFile), cfg.str());
    fs::remove(directory / std::string(standin::kReleaseFile));
    fs::remove(directory / std::string(standin::kHolderGoneFile));
}

void release_standin(const fs::path& directory) {
    write_file(directory / std::string(standin::kReleaseFile), "");
}

fs::path install_standin(const fs::path& directory, const StandinBehaviour& behaviour) {
    fs::create_directories(directory);
    const auto target = directory / "wireguard.exe";
    fs::copy_file(program_directory() / "wireguard.exe", target,
                  fs::copy_options::overwrite_existing);
    set_standin_behaviour(directory, behaviour);
    return target;
}

std::vector<StandinRun> standin_runs(const fs::path& directory) {
    std::vector<StandinRun> runs;
    const auto log = directory / std::string(standin::kLogFile);
    if (!fs::exists(log))
        return runs;
    std::istringstream in(read_file(log));
    std::string line;
    StandinRun current;
    while (std::getline(in, line)) {
        if (line == "end") {
            runs.push_back(std::move(current));
            current = {};
        } else if (line.starts_with("cmdline ")) {
            current.command_line = standin::from_hex(line.substr(8));
        } else if (line.starts_with("arg ")) {
            current.arguments.push_back(standin::from_hex(line.substr(4)));
        }
    }
    return runs;
}

}  // namespace tarsel::testing
