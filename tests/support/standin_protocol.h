#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What the stand-in wireguard.exe and the tests agree on. Header-only, so the
// stand-in needs nothing but the platform layer.
namespace tarsel::testing::standin {

inline constexpr std::string_view kBehaviourFile = "wireguard-standin.cfg";
inline constexpr std::string_view kLogFile = "wireguard-standin.log";
// Made by the test to let a gated stand-in go on (see StandinBehaviour).
inline constexpr std::string_view kReleaseFile = "wireguard-standin.release";
// The stand-in started with only this argument is the process it leaves
// holding the helper's pipes (StandinBehaviour::pipe_holder_cap_ms). It logs
// no run, and makes kHolderGoneFile as it exits.
inline constexpr std::string_view kHoldPipesArgument = "--hold-pipes";
inline constexpr std::string_view kHolderGoneFile = "wireguard-standin.holder-gone";

// A fixed, position-dependent pattern, so that a test can tell that every
// byte of a flooded stream came back, in order.
inline char flood_byte(char stream, std::uint64_t index) {
    constexpr std::string_view alphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
    const std::uint64_t shift = stream == 'e' ? 7 : 0;
    return alphabet[(index * 31 + index / 4096 + shift) % alphabet.size()];
}

inline std::string to_hex(std::string_view bytes) {
    constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

inline std::string from_hex(std::string_view hex) {
    const auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return 0;
    };
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(nibble(hex[i]) * 16 + nibble(hex[i + 1])));
    }
    return out;
}

}  // namespace tarsel::testing::standin
