#include "exchange/data_dir.h"

#include "platform/files.h"

namespace tarsel::exchange {

platform::Path data_dir() {
    // Without PROGRAMDATA (or with a value that is not valid Unicode) the data
    // goes under the temporary-files directory. Should even that be unknown,
    // the empty base leaves the relative "TarselVPN", as an empty PROGRAMDATA
    // does: the helper still serves a client that finds it there.
    const platform::Path base = platform::program_data_directory()
                                    .or_else(platform::temp_directory)
                                    .value_or(platform::Path());
    return platform::join_path(base, "TarselVPN");
}

}  // namespace tarsel::exchange
