/*
 * kesta_client: bring redevuva_service's WireGuard tunnel up and down and read its statistics.
 *
 * A C interface for programs in any language that can call C: kesta_client.dll with its import
 * library kesta_client.lib, or the static library libkesta_client_static.a for mingw-w64.
 * docs/CLIENT.md shows its use from C, C++, C# and Python.
 *
 * Every call opens the service's pipe, writes one command, reads one answer and closes the pipe;
 * nothing is kept between calls, so any thread may call at any time. Before anything is written,
 * the library checks that the pipe is served by the process the service control manager runs as
 * redevuva_service, and it opens the pipe so that its server cannot act as the caller.
 *
 * Structures start with `size`: set it to sizeof the structure before each call. The library
 * accepts any size from this version's on, so a program built against a later header, whose
 * structures have grown, still works with this library.
 */
#ifndef KESTA_CLIENT_H
#define KESTA_CLIENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A reasonable timeout for every call: a Connect is answered within about a second, after the
 * requests queued ahead of it. */
#define KESTA_DEFAULT_TIMEOUT_MS 30000u

/* How a call went. The values are fixed: new ones are only ever added. */
typedef enum kesta_status {
  KESTA_CONNECTED = 0,           /* the service holds a tunnel; its statistics are in `out` */
  KESTA_DISCONNECTED = 1,        /* the service holds no tunnel, or switched it off */
  KESTA_SERVICE_ERROR = 2,       /* the service answered with an error; its text is in `error` */
  KESTA_NO_RESPONSE = 3,         /* the service ended the connection without an answer */
  KESTA_PIPE_UNREACHABLE = 4,    /* the service runs but its pipe cannot be opened */
  KESTA_SERVICE_NOT_RUNNING = 5, /* redevuva_service is stopped or not installed */
  KESTA_NOT_THE_SERVICE = 6,     /* another process serves the pipe: nothing was sent */
  KESTA_TIMED_OUT = 7,           /* no answer within timeout_ms */
  KESTA_BAD_ARGUMENT = 8,        /* an argument is unusable; nothing was sent */
  KESTA_INTERNAL_ERROR = 9       /* the library failed (out of memory, for one) */
} kesta_status;

/* The tunnel's state as kesta_get_info found it. */
typedef enum kesta_state {
  KESTA_STATE_UNKNOWN = 0, /* the call did not learn it */
  KESTA_STATE_DISCONNECTED = 1,
  KESTA_STATE_CONNECTED = 2
} kesta_state;

/* What kesta_connect hands the service. Addresses are four bytes in network order:
 * 192.0.2.7 is {192, 0, 2, 7}. */
typedef struct kesta_config {
  uint32_t size;                /* sizeof(kesta_config) */
  uint8_t client_key[32];       /* this machine's private key */
  uint8_t server_key[32];       /* the server's public key */
  uint8_t shared_key[32];       /* the preshared key */
  uint8_t endpoint_ip[4];       /* the server's IPv4 address */
  uint16_t endpoint_port;       /* the server's UDP port */
  const char* endpoint_url;     /* optional, UTF-8: the server's name, for information; NULL: "" */
  uint8_t client_ip[4];         /* the tunnel address of this machine (prefix length 32) */
  uint32_t client_port_count;   /* how many ports `client_ports` points to */
  const uint16_t* client_ports; /* optional, for information; NULL when the count is 0 */
} kesta_config;

/* The tunnel's statistics. */
typedef struct kesta_info {
  uint32_t size;                       /* sizeof(kesta_info) */
  uint32_t has_handshake;              /* 0: no handshake yet, and the next two fields are 0 */
  int64_t last_handshake_seconds;      /* the last handshake: seconds since 1970-01-01 UTC */
  uint32_t last_handshake_nanoseconds; /* and nanoseconds within that second */
  uint64_t tx_bytes;                   /* bytes sent through the tunnel */
  uint64_t rx_bytes;                   /* bytes received through the tunnel */
} kesta_info;

/* Why a call did not succeed, in a buffer of its own: there is nothing to free. */
typedef struct kesta_error {
  uint32_t size;         /* sizeof(kesta_error) */
  uint32_t windows_code; /* the code of the Windows call that failed, else 0 */
  /* UTF-8, NUL-terminated, cut at a character boundary when longer: the service's error text
   * exactly as it sent it (KESTA_SERVICE_ERROR), else a sentence that says what failed, with
   * the system's message for windows_code. Empty after a success. */
  char text[1024];
} kesta_error;

/*
 * Every call takes `timeout_ms`, from 1 up: the longest it waits in all, for a busy pipe and for
 * the answer. `out`, `state` and `error` may be NULL; when given, each is filled in (`out` is
 * zeroed unless the status is KESTA_CONNECTED).
 */

/* Replaces any tunnel the service holds with one built from `config` and waits for its first
 * handshake: KESTA_CONNECTED with the statistics, or KESTA_SERVICE_ERROR. */
kesta_status kesta_connect(const kesta_config* config, kesta_info* out, kesta_error* error,
                           uint32_t timeout_ms);

/* Switches the tunnel off: KESTA_DISCONNECTED, or KESTA_SERVICE_ERROR. */
kesta_status kesta_disconnect(kesta_error* error, uint32_t timeout_ms);

/* The tunnel's statistics: KESTA_CONNECTED, KESTA_DISCONNECTED or KESTA_SERVICE_ERROR. A tunnel
 * switched off by kesta_disconnect is still held, and still reported as connected, until the
 * next kesta_connect replaces it or the service stops. */
kesta_status kesta_get_info(kesta_info* out, kesta_state* state, kesta_error* error,
                            uint32_t timeout_ms);

/* The status's name as the header spells it without "KESTA_", in lower case ("connected",
 * "service_error"); "unknown" for a value this version does not know. Never NULL. */
const char* kesta_status_name(kesta_status status);

/* The library's version, "MAJOR.MINOR.PATCH". */
const char* kesta_client_version(void);

#ifdef __cplusplus
}
#endif

#endif
