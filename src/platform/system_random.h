#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

// Unpredictable names for objects other users must not claim first.
namespace tarsel::platform {

// Fills `out` from the system's cryptographic random source, or gives the
// system error code. Windows: RtlGenRandom. POSIX: getrandom.
[[nodiscard]] std::expected<void, std::int32_t> fill_system_random(std::span<unsigned char> out);

// `bytes` bytes from fill_system_random, as lowercase hexadecimal.
[[nodiscard]] std::expected<std::string, std::int32_t> system_random_hex(std::size_t bytes);

}  // namespace tarsel::platform
