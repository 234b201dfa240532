#pragma once

#include <string>

// The command documents the reader is measured on. Each is a valid command
// that every reader accepts whole, built the same way in every run.
namespace tarsel::bench {

// {"action":"down","nonce":1234}: 30 bytes, the everyday document.
[[nodiscard]] std::string small_command();

// A command whose unknown member holds 1 MiB of numbers of every form.
[[nodiscard]] std::string numbers_command();

// A command whose unknown member holds 1 MiB of strings full of escapes and
// non-ASCII text.
[[nodiscard]] std::string strings_command();

// A command whose unknown member nests arrays this many levels deep.
inline constexpr int kDeepLevels = 400'000;
[[nodiscard]] std::string deep_command();

// The four above, by number, in that order.
inline constexpr int kDocumentCount = 4;
[[nodiscard]] std::string document_by_index(int which);

}  // namespace tarsel::bench
