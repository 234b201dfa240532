#include "platform/system_random.h"

#include <vector>

namespace tarsel::platform {

std::expected<std::string, std::int32_t> system_random_hex(std::size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    if (auto filled = fill_system_random(raw); !filled) {
        return std::unexpected(filled.error());
    }
    constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes * 2);
    for (const unsigned char byte : raw) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 15]);
    }
    return text;
}

}  // namespace tarsel::platform
