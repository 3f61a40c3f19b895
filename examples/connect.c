/*
 * Drives redevuva_service through kesta_client.dll: brings the tunnel up, reads its statistics
 * or switches it off, and prints what the service answered.
 *
 *   connect_example [--timeout MS] info
 *   connect_example [--timeout MS] disconnect
 *   connect_example [--timeout MS] connect PRIVATE_KEY PUBLIC_KEY PRESHARED_KEY A.B.C.D:PORT
 * A.B.C.D connect_example version
 *
 * Keys are Base64, as WireGuard writes them. The exit status is 0 when the call succeeded
 * (connected or disconnected), the kesta_status value when it did not, and 64 for a wrong
 * command line.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kesta/client.h"

#define USAGE_EXIT 64

static int base64_value(char c) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const char* at = c == '\0' ? NULL : strchr(alphabet, c);
  return at == NULL ? -1 : (int)(at - alphabet);
}

/* A key is 44 characters: 43 symbols for its 32 bytes, then one '='. */
static int decode_key(const char* text, uint8_t key[32]) {
  uint32_t bits = 0;
  int pending = 0;
  size_t i, length = 0;
  if (strlen(text) != 44 || text[43] != '=') return 0;
  for (i = 0; i < 43; ++i) {
    const int value = base64_value(text[i]);
    if (value < 0) return 0;
    bits = (bits << 6) | (uint32_t)value;
    pending += 6;
    if (pending >= 8) {
      pending -= 8;
      key[length++] = (uint8_t)(bits >> pending);
    }
  }
  /* The two bits left over must be zero in the one canonical text of the key. */
  return (bits & 3u) == 0;
}

/* "A.B.C.D", or "A.B.C.D:PORT" when `port` is given. */
static int parse_address(const char* text, uint8_t ip[4], uint16_t* port) {
  unsigned part[5];
  char rest;
  int i, fields;
  if (port != NULL) {
    fields = sscanf(text, "%3u.%3u.%3u.%3u:%5u%c", &part[0], &part[1], &part[2], &part[3], &part[4],
                    &rest);
    if (fields != 5 || part[4] > 65535) return 0;
    *port = (uint16_t)part[4];
  } else {
    fields = sscanf(text, "%3u.%3u.%3u.%3u%c", &part[0], &part[1], &part[2], &part[3], &rest);
    if (fields != 4) return 0;
  }
  for (i = 0; i < 4; ++i) {
    if (part[i] > 255) return 0;
    ip[i] = (uint8_t)part[i];
  }
  return 1;
}

static int usage(void) {
  fprintf(stderr,
          "usage: connect_example [--timeout MS] info\n"
          "       connect_example [--timeout MS] disconnect\n"
          "       connect_example [--timeout MS] connect PRIVATE_KEY PUBLIC_KEY PRESHARED_KEY "
          "A.B.C.D:PORT A.B.C.D\n"
          "       connect_example version\n");
  return USAGE_EXIT;
}

static void print_info(const kesta_info* info) {
  if (info->has_handshake) {
    printf("last handshake: %lld.%09lu seconds since 1970\n",
           (long long)info->last_handshake_seconds,
           (unsigned long)info->last_handshake_nanoseconds);
  } else {
    printf("last handshake: never\n");
  }
  printf("sent: %llu bytes\nreceived: %llu bytes\n", (unsigned long long)info->tx_bytes,
         (unsigned long long)info->rx_bytes);
}

int main(int argc, char** argv) {
  kesta_config config;
  kesta_info info;
  kesta_error error;
  kesta_status status;
  uint32_t timeout_ms = KESTA_DEFAULT_TIMEOUT_MS;
  int next = 1;

  if (argc == 2 && strcmp(argv[1], "version") == 0) {
    printf("kesta_client %s\n", kesta_client_version());
    return 0;
  }
  if (argc > 3 && strcmp(argv[1], "--timeout") == 0) {
    char* end;
    const unsigned long value = strtoul(argv[2], &end, 10);
    if (*end != '\0' || value > 0xFFFFFFFFul) return usage();
    timeout_ms = (uint32_t)value;
    next = 3;
  }
  if (argc <= next) return usage();

  memset(&info, 0, sizeof info);
  info.size = sizeof info;
  memset(&error, 0, sizeof error);
  error.size = sizeof error;

  if (strcmp(argv[next], "info") == 0 && argc == next + 1) {
    kesta_state state;
    status = kesta_get_info(&info, &state, &error, timeout_ms);
  } else if (strcmp(argv[next], "disconnect") == 0 && argc == next + 1) {
    status = kesta_disconnect(&error, timeout_ms);
  } else if (strcmp(argv[next], "connect") == 0 && argc == next + 6) {
    memset(&config, 0, sizeof config);
    config.size = sizeof config;
    if (!decode_key(argv[next + 1], config.client_key) ||
        !decode_key(argv[next + 2], config.server_key) ||
        !decode_key(argv[next + 3], config.shared_key)) {
      fprintf(stderr, "connect_example: a key is not the Base64 text of 32 bytes\n");
      return USAGE_EXIT;
    }
    if (!parse_address(argv[next + 4], config.endpoint_ip, &config.endpoint_port) ||
        !parse_address(argv[next + 5], config.client_ip, NULL)) {
      fprintf(stderr, "connect_example: expected A.B.C.D:PORT, then A.B.C.D\n");
      return USAGE_EXIT;
    }
    status = kesta_connect(&config, &info, &error, timeout_ms);
  } else {
    return usage();
  }

  printf("status: %s\n", kesta_status_name(status));
  if (status == KESTA_CONNECTED) print_info(&info);
  if (status == KESTA_CONNECTED || status == KESTA_DISCONNECTED) return 0;
  printf("error: %s\n", error.text);
  if (error.windows_code != 0) printf("windows error: %lu\n", (unsigned long)error.windows_code);
  return (int)status;
}
