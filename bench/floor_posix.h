#pragma once

#include <cstddef>

namespace tarsel::bench {

// The floor of an idle pass: open the file, read it to the end into `buffer`,
// close it; nothing checked, nothing parsed. With `query_size`, the size
// query the pass makes as well, and, as the pass does, a short read taken as
// the end. The byte count, or -1.
long read_file_floor(const char* path, char* buffer, std::size_t size, bool query_size);

}  // namespace tarsel::bench
