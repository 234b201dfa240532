// The C boundary of the client library: plain arguments in, a result code and
// a text out. Nothing thrown gets past it.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "client/send.h"
#include "exchange/data_dir.h"
#include "platform/text.h"
#include "tarsel/client.h"

namespace {

using namespace tarsel;

// Cuts at a character boundary, so a short buffer still holds valid UTF-8.
void copy_text(std::string_view text, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) {
        return;
    }
    std::size_t n = std::min(text.size(), size - 1);
    if (n < text.size()) {
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
            --n;
        }
    }
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

int local_error(std::string_view text, char* error, std::size_t error_size) {
    copy_text(text, error, error_size);
    return TARSEL_LOCAL_ERROR;
}

// Arguments arrive as UTF-8 on both systems; a plain std::string would be
// taken in the ANSI code page on Windows.
platform::Path path_from_utf8(std::string_view text) {
    return platform::Path(std::u8string(text.begin(), text.end()));
}

int send(const char* data_dir, const char* action, std::uint32_t timeout_ms, char* error,
         std::size_t error_size) {
    if (action == nullptr || !platform::is_valid_utf8(action)) {
        return local_error("the action is not a UTF-8 text", error, error_size);
    }
    platform::Path directory;
    if (data_dir == nullptr) {
        directory = exchange::data_dir();
    } else if (*data_dir == '\0' || !platform::is_valid_utf8(data_dir)) {
        return local_error("the data directory is empty or not a UTF-8 text", error, error_size);
    } else {
        directory = path_from_utf8(data_dir);
    }
    const client::SendReport report = client::send_request(
        directory, action, std::chrono::milliseconds(timeout_ms), client::default_send_seams());
    copy_text(report.text, error, error_size);
    switch (report.status) {
        case client::SendStatus::ok:
            return TARSEL_OK;
        case client::SendStatus::failed:
            return TARSEL_FAILED;
        case client::SendStatus::timeout:
            return TARSEL_TIMEOUT;
        case client::SendStatus::local_error:
            return TARSEL_LOCAL_ERROR;
    }
    return TARSEL_LOCAL_ERROR;
}

}  // namespace

extern "C" int tarsel_send(const char* data_dir, const char* action, std::uint32_t timeout_ms,
                           char* error, std::size_t error_size) {
    try {
        return send(data_dir, action, timeout_ms, error, error_size);
    } catch (const std::bad_alloc&) {
        return local_error("out of memory", error, error_size);
    } catch (...) {
        return local_error("unexpected failure inside the client library", error, error_size);
    }
}

extern "C" std::size_t tarsel_default_data_dir(char* buffer, std::size_t size) {
    try {
        const std::string directory = platform::path_to_utf8(exchange::data_dir());
        if (buffer != nullptr && size > directory.size()) {
            copy_text(directory, buffer, size);
        }
        return directory.size();
    } catch (...) {
        // Only memory can run out here; an empty text is written when it fits.
        copy_text("", buffer, size);
        return 0;
    }
}
