/* SPDX-FileCopyrightText: 2026 Nivora
 * SPDX-License-Identifier: LGPL-2.1-or-later
 *
 * The reference of the update benchmark: the bootloader exchange of a
 * firmware update written as a plain C loop on a tty, with nothing around
 * it. It sends what the library's bootloader handler sends, in the same
 * order and the same packets: enter the bootloader, read the flash size,
 * every row in chunks of at most 11 bytes, program it and verify it, verify
 * the application's checksum and leave the bootloader. */
#ifndef NIVORA_BENCH_PLAINUPDATE_H
#define NIVORA_BENCH_PLAINUPDATE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct plain_row {
    unsigned char array_id;
    unsigned short number;
    const unsigned char *data;
    size_t size;
    unsigned char verify_checksum;
};

struct plain_image {
    unsigned long silicon_id;
    unsigned char silicon_rev;
    const struct plain_row *rows;
    size_t row_count;
};

enum { PLAIN_CHUNK_SIZE = 11 };

/* Asks the driver for low latency as the library does on opening
 * (TIOCSSERIAL with ASYNC_LOW_LATENCY); 1 when it was set. */
int plain_request_low_latency(int fd);
void plain_restore_latency(int fd);

/* Writes the image over the open tty. On success returns 0 and stores the
 * time from the call to the application checksum's answer in elapsed_ns;
 * the exit command is sent after it. On failure returns -1 and names the
 * step in *failed_step. */
int plain_update(int fd, const struct plain_image *image, int timeout_ms, long long *elapsed_ns,
                 const char **failed_step);

#ifdef __cplusplus
}
#endif

#endif
