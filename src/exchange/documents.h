#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "exchange/json.h"
#include "platform/environment.h"
#include "platform/files.h"

// The two documents the client and the helper exchange: command.json, which
// the client writes, and result.json, which the helper writes.
namespace tarsel::exchange {

struct HelperCommand {
    std::string action;  // UTF-8, may hold any code point including U+0000
    std::uint64_t nonce = 0;
    friend bool operator==(const HelperCommand&, const HelperCommand&) = default;
};

struct HelperResult {
    std::uint64_t nonce = 0;
    bool ok = false;
    std::optional<std::string> error;  // present exactly when ok is false

    [[nodiscard]] static HelperResult success(std::uint64_t nonce) { return {nonce, true, {}}; }
    [[nodiscard]] static HelperResult failure(std::uint64_t nonce, std::string text) {
        return {nonce, false, std::move(text)};
    }
    friend bool operator==(const HelperResult&, const HelperResult&) = default;
};

// Any local user can write command.json, so the helper never reads more than
// this; a larger file counts as no command, like an unreadable one.
inline constexpr std::size_t kMaxCommandBytes = std::size_t{1} << 20;

// The strict command language: the object form {"action":..,"nonce":..} with
// unknown members skipped, or the array form ["action", nonce].
[[nodiscard]] std::expected<HelperCommand, ParseFailure> parse_command(std::string_view text);

// Reads and parses command.json; nothing for every kind of failure.
[[nodiscard]] std::optional<HelperCommand> read_command(const platform::Path& path);

// read_command with the reason for a failure: what the file or its text broke,
// and where the reader stopped.
[[nodiscard]] std::expected<HelperCommand, ParseFailure> examine_command(
    const platform::Path& path);

// read_command for the loop, which reads the same file in every pass: the
// file's bytes and the parsed command keep their storage between reads, so a
// pass over an unchanged command allocates nothing after the first.
class CommandFileReader {
  public:
    explicit CommandFileReader(platform::Path path);

    // The command the file holds now, or nothing for every kind of failure;
    // valid until the next read.
    [[nodiscard]] const HelperCommand* read();

    // Why the last read found nothing. Kept as a number and an offset, so
    // that a pass over a rejected file costs no more than one over a command.
    [[nodiscard]] ParseFailure failure() const noexcept { return failure_; }

  private:
    platform::RepeatedFileReader file_;
    HelperCommand command_;
    ParseFailure failure_;
};

// The exact bytes of the result document.
[[nodiscard]] std::string encode_result(const HelperResult& result);

// The inverse of encode_result: a result document exactly as the helper writes
// it, or nothing. The helper truncates result.json and then writes it, so an
// empty or partial text is normal for a moment and simply means "not yet".
[[nodiscard]] std::optional<HelperResult> parse_result(std::string_view text);

// Replaces the whole content of result.json; failures are dropped.
void write_result(const platform::Path& path, const HelperResult& result);

}  // namespace tarsel::exchange
