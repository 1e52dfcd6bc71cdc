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
    /* For plain_request(): the answer looked for (its command and packet id),
     * whether it has come, and its bytes on the wire (delimiters and escapes
     * included). */
    int want_answer;
    unsigned char want_command;
    unsigned char want_id;
    int answered;
    size_t answer_wire_bytes;
};

/* The longest payload plain_request() frames. */
#define PLAIN_MAX_PAYLOAD 255

/* The longest frame plain_encode() makes: every byte escaped, and the two
 * delimiters. */
#define PLAIN_MAX_FRAME (2 * (2 + PLAIN_MAX_PAYLOAD + 1) + 2)

/* Frames a packet (command, packet id, payload of at most PLAIN_MAX_PAYLOAD
 * bytes) with its XOR check byte into frame; returns the frame's length. */
size_t plain_encode(unsigned char *frame, unsigned char command, unsigned char id, const unsigned char *payload,
                    size_t payload_size);

/* Readies the decoder for the answer to a request: the frame with the
 * request's command and packet id sets its answered flag. */
void plain_expect(struct plain_decoder *decoder, unsigned char command, unsigned char id);

/* SLIP decoding with the XOR check of the adapter's frames. */
void plain_decoder_feed(struct plain_decoder *decoder, const unsigned char *data, size_t size);

/* Sets a tty raw and non-blocking, as a serial port is opened. */
int plain_open_tty(const char *path);

/* A request as a plain C host makes it: frames the packet (command, packet
 * id, payload) with its XOR check byte, writes it and reads and decodes until
 * the frame with the same command and packet id has come. Returns the time in
 * ns from the write to that frame, or -1 on an error or after timeout_ms;
 * *wire_bytes (when given) counts the bytes of the request and its answer. */
long long plain_request(int fd, unsigned char command, unsigned char id, const unsigned char *payload,
                        size_t payload_size, int timeout_ms, size_t *wire_bytes);

/* Reads and decodes for the given time; returns the CPU time used in ns. */
long long plain_receive(int fd, struct plain_decoder *decoder, long long duration_ns);

/* Reads and decodes until the decoder has counted the given number of frames
 * (0: until an error); after each read that ends a frame, stores the count
 * in *shown when given (a counter another process watches). */
void plain_read_frames(int fd, struct plain_decoder *decoder, unsigned long frames, volatile unsigned long *shown);

long long plain_now_ns(void);
long long plain_cpu_ns(void);

#ifdef __cplusplus
}
#endif

#endif
