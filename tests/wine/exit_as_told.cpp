// A Windows program that ends as its arguments say, for the test of the
// wine-run wrapper:
//   exit_as_told silent            ends with status 7 and writes nothing
//   exit_as_told loud              writes a line and ends with status 2
//   exit_as_told silent-once FILE  ends silently with status 7 if FILE is
//                                  missing (and creates it); otherwise writes
//                                  a line and ends with status 0
#include <cstdio>
#include <string_view>

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "silent") {
        return 7;
    }
    if (mode == "loud") {
        std::puts("failing loudly");
        return 2;
    }
    if (mode == "silent-once" && argc > 2) {
        if (std::FILE* seen = std::fopen(argv[2], "rb")) {
            std::fclose(seen);
            std::puts("second run");
            return 0;
        }
        if (std::FILE* mark = std::fopen(argv[2], "wb")) {
            std::fclose(mark);
        }
        return 7;
    }
    std::puts("usage: exit_as_told silent | loud | silent-once FILE");
    return 64;
}
