#pragma once

#include "platform/environment.h"

// Where the helper and its clients meet: the directory that holds command.json,
// result.json and tarsel.conf.
namespace tarsel::exchange {

// PROGRAMDATA (else the temporary-files directory) joined with TarselVPN.
[[nodiscard]] platform::Path data_dir();

}  // namespace tarsel::exchange
