#include "support/foreground_helper.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace tarsel::testing {

ForegroundHelper::ForegroundHelper(const std::filesystem::path& program,
                                   const std::filesystem::path& program_data) {
    std::vector<std::string> environment{"PROGRAMDATA=" + program_data.string()};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!std::string_view(*entry).starts_with("PROGRAMDATA=")) {
            environment.emplace_back(*entry);
        }
    }
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string path = program.string();
    char* argv[] = {path.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, envp.data()) == 0) {
        pid_ = pid;
    }
}

ForegroundHelper::~ForegroundHelper() {
    (void)stop(SIGTERM);
}

int ForegroundHelper::stop(int signal) {
    if (pid_ <= 0) {
        return -1;
    }
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace tarsel::testing
