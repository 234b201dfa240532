/* The smallest client: asks the TarselHelper service to bring the tunnel up
 * (or down, with "down" as the argument) and says how it went.
 *
 *   cc -std=c11 -Iinclude examples/tarsel_up.c -Lbuild/native/lib -ltarsel_client -lstdc++
 */
#include <stdio.h>
#include <string.h>

#include "tarsel/client.h"

int main(int argc, char **argv) {
    const char *action = argc > 1 && strcmp(argv[1], "down") == 0 ? "down" : "up";
    char error[512];
    /* NULL: the directory the service uses on this machine. Installing a
     * tunnel can take a while, so the wait is generous. */
    switch (tarsel_send(NULL, action, 120000, error, sizeof error)) {
    case TARSEL_OK:
        printf("%s: ok\n", action);
        return 0;
    case TARSEL_FAILED:
        fprintf(stderr, "%s failed: %s\n", action, error[0] ? error : "(no error text)");
        return 1;
    case TARSEL_TIMEOUT:
        fprintf(stderr, "%s: %s\n", action, error);
        return 2;
    default:
        fprintf(stderr, "%s: %s\n", action, error);
        return 3;
    }
}
