// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

/* The references of the benchmarks: the adapter's frames decoded and a
 * request answered on a tty by plain C loops, with nothing around them. */
#ifndef NIVORA_BENCH_PLAINLINE_H
#define NIVORA_BENCH_PLAINLINE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct plain_decoder {
    unsigned char frame[4096];
    size_t length;
    int escaped;
    unsigned long frames;
    unsigned long frame_bytes;
    unsigned long long bytes_fed;
};

/* SLIP decoding with the XOR check of the adapter's frames. */
void plain_decoder_feed(struct plain_decoder *decoder, const unsigned char *data, size_t size);

/* Sets a tty raw and non-blocking, as a serial port is opened. */
int plain_open_tty(const char *path);

/* Writes the request and reads until response_size bytes have come; the
 * time in ns, or -1 on an error or after timeout_ms. */
long long plain_round_trip(int fd, const unsigned char *request, size_t request_size,
                           size_t response_size, int timeout_ms);

/* Reads and decodes for the given time; returns the CPU time used in ns. */
long long plain_receive(int fd, struct plain_decoder *decoder, long long duration_ns);

long long plain_now_ns(void);
long long plain_cpu_ns(void);

#ifdef __cplusplus
}
#endif

#endif
