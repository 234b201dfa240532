#include <string>
#include <vector>

#include "install/registration.h"
#include "main/entry.h"
#include "platform/console.h"
#include "platform/hardening.h"
#include "service/service_host.h"

int main(int argc, char** argv) {
    using namespace tarsel;
    const std::vector<std::string> arguments = platform::command_line_arguments(argc, argv);
    const entry::EntryOperations operations{
        .install = [] { return install::install_service(); },
        .uninstall = [] { return install::uninstall_service(); },
        .repair = [] { return install::repair_service(); },
        // Before the dispatcher starts the service thread, so that nothing the
        // service does runs without the defences.
        .run_service =
            [] {
                platform::harden_process();
                return service::run_service();
            },
        .write_standard_error = [](std::string_view line) { platform::write_standard_error(line); },
    };
    return entry::run_entry(arguments, operations);
}
