#include "main/entry.h"

namespace tarsel::entry {

int run_entry(std::span<const std::string> arguments, const EntryOperations& operations) {
    // Exact byte comparison: "Install", "--install" and "install " are not
    // console words, so they fall through to the service mode.
    const std::string_view first = arguments.size() > 1 ? std::string_view(arguments[1]) : "";
    const Operation* operation = &operations.run_service;
    std::string_view prefix = "service dispatch failed: ";
    if (first == "install") {
        operation = &operations.install;
        prefix = "install failed: ";
    } else if (first == "uninstall") {
        operation = &operations.uninstall;
        prefix = "uninstall failed: ";
    } else if (first == "repair") {
        operation = &operations.repair;
        prefix = "repair failed: ";
    }

    const auto result = (*operation)();
    if (!result) {
        operations.write_standard_error(std::string(prefix) + result.error() + "\n");
        return 1;
    }
    return 0;
}

}  // namespace tarsel::entry
