/* The client side of the TarselHelper exchange, as a C library.
 *
 * A client asks the TarselHelper service to bring the VPN tunnel up or take it
 * down. The service reads command.json in its data directory and answers in
 * result.json beside it; this library writes the command in one step with a
 * fresh nonce and waits for the answer that carries it, so a client needs
 * nothing else. docs/protocol.md describes the two files for those who cannot
 * use the library.
 *
 * Valid C11 and C++; every text is UTF-8. The functions keep no state between
 * calls, may be called from several threads at once and never throw. The
 * service carries out one command at a time and does not queue them: a
 * command written while another is still unanswered may replace it, and the
 * replaced one then gets no answer, so one command at a time per machine. */
#ifndef TARSEL_CLIENT_H
#define TARSEL_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(TARSEL_CLIENT_BUILD_DLL)
#define TARSEL_API __declspec(dllexport)
#elif defined(_WIN32) && defined(TARSEL_CLIENT_STATIC)
#define TARSEL_API
#elif defined(_WIN32)
#define TARSEL_API __declspec(dllimport)
#else
#define TARSEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What tarsel_send returns. */
enum {
    TARSEL_OK = 0,         /* the service carried the action out */
    TARSEL_FAILED = 1,     /* the service answered with a failure; `error` holds its text */
    TARSEL_TIMEOUT = 2,    /* no answer within the time; the service is probably not running */
    TARSEL_LOCAL_ERROR = 3 /* the command could not be written; `error` says why */
};

/* Asks the service for `action` ("up" or "down") and waits up to `timeout_ms`
 * milliseconds for its answer. `data_dir` NULL means the directory the service
 * uses by default on this machine (see tarsel_default_data_dir).
 *
 * Unless the result is TARSEL_OK, `error` receives a text that says why; on
 * TARSEL_OK it receives the empty text. It is always NUL-terminated and cut to
 * `error_size` bytes (never inside a UTF-8 sequence). `error` may be NULL when
 * `error_size` is 0. */
TARSEL_API int tarsel_send(const char *data_dir, const char *action, uint32_t timeout_ms,
                           char *error, size_t error_size);

/* The service's default data directory on this machine, for example
 * C:\ProgramData\TarselVPN. Returns its length in bytes, without the NUL, and
 * writes it with a NUL when `size` is more than that length; otherwise writes
 * nothing. `buffer` may be NULL when `size` is 0. */
TARSEL_API size_t tarsel_default_data_dir(char *buffer, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* TARSEL_CLIENT_H */
