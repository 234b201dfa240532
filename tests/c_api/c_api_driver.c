/* Calls the client library from C, as a client written in C does, and prints
 * what came back, for the test harness to check:
 *   c_api_driver send DATA_DIR|- ACTION TIMEOUT_MS ERROR_SIZE
 *       prints the result code, a line feed and the error text; "-" passes
 *       NULL for the data directory, ERROR_SIZE 0 passes NULL for the buffer
 *   c_api_driver default-dir SIZE
 *       prints the returned length, a line feed and what the buffer holds */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tarsel/client.h"

/* More than any test asks for; a canary after the cut shows an overrun. */
#define BUFFER_BYTES 4096

static int untouched_from(const char *buffer, size_t size) {
    size_t i;
    for (i = size; i < BUFFER_BYTES; ++i) {
        if (buffer[i] != '#') {
            fprintf(stderr, "byte %u past the buffer's size was written\n", (unsigned)i);
            return 0;
        }
    }
    return 1;
}

static int print_buffer(const char *buffer, size_t size) {
    if (!untouched_from(buffer, size)) {
        return 1;
    }
    fwrite(buffer, 1, strlen(buffer), stdout);
    return 0;
}

int main(int argc, char **argv) {
    static char buffer[BUFFER_BYTES];
    memset(buffer, '#', sizeof buffer);
    if (argc == 6 && strcmp(argv[1], "send") == 0) {
        const char *dir = strcmp(argv[2], "-") == 0 ? NULL : argv[2];
        const uint32_t timeout_ms = (uint32_t)strtoul(argv[4], NULL, 10);
        const size_t size = (size_t)strtoul(argv[5], NULL, 10);
        const int code = tarsel_send(dir, argv[3], timeout_ms, size ? buffer : NULL, size);
        printf("%d\n", code);
        return size ? print_buffer(buffer, size) : 0;
    }
    if (argc == 3 && strcmp(argv[1], "default-dir") == 0) {
        const size_t size = (size_t)strtoul(argv[2], NULL, 10);
        const size_t length = tarsel_default_data_dir(size ? buffer : NULL, size);
        printf("%u\n", (unsigned)length);
        if (size > length) {
            return print_buffer(buffer, size);
        }
        /* Too small: nothing may have been written. */
        return untouched_from(buffer, 0) ? 0 : 1;
    }
    fprintf(stderr, "usage: c_api_driver send DATA_DIR|- ACTION TIMEOUT_MS ERROR_SIZE\n"
                    "       c_api_driver default-dir SIZE\n");
    return 2;
}
