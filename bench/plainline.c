// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "plainline.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { END = 0xC0, ESC = 0xDB, ESC_END = 0xDC, ESC_ESC = 0xDD };

static void frame_end(struct plain_decoder *decoder)
{
    unsigned char check = 0;
    size_t escapes = 0;
    size_t i;
    if (decoder->length > 2) {
        for (i = 0; i < decoder->length; i++) {
            check ^= decoder->frame[i];
            escapes += decoder->frame[i] == END || decoder->frame[i] == ESC;
        }
        if (check == 0) {
            decoder->frames++;
            if (decoder->want_answer && decoder->frame[0] == decoder->want_command
                && decoder->frame[1] == decoder->want_id) {
                decoder->answered = 1;
                decoder->answer_wire_bytes = decoder->length + escapes + 2;
            }
            decoder->frame_bytes += decoder->length - 1;
        }
    }
    decoder->length = 0;
    decoder->escaped = 0;
}

void plain_decoder_feed(struct plain_decoder *decoder, const unsigned char *data, size_t size)
{
    size_t i;
    decoder->bytes_fed += size;
    for (i = 0; i < size; i++) {
        unsigned char byte = data[i];
        if (byte == END) {
            frame_end(decoder);
            continue;
        }
        if (byte == ESC) {
            decoder->escaped = 1;
            continue;
        }
        if (decoder->escaped) {
            decoder->escaped = 0;
            byte = byte == ESC_END ? END : byte == ESC_ESC ? ESC : 0;
            if (byte == 0) {
                decoder->length = 0;
                continue;
            }
        }
        if (decoder->length < sizeof(decoder->frame))
            decoder->frame[decoder->length++] = byte;
    }
}

int plain_open_tty(const char *path)
{
    struct termios attributes;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (tcgetattr(fd, &attributes) == 0) {
        cfmakeraw(&attributes);
        cfsetspeed(&attributes, B115200);
        tcsetattr(fd, TCSANOW, &attributes);
    }
    return fd;
}

long long plain_now_ns(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

long long plain_cpu_ns(void)
{
    struct timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static size_t slip_put(unsigned char *out, size_t n, unsigned char byte)
{
    if (byte == END) {
        out[n++] = ESC;
        out[n++] = ESC_END;
    } else if (byte == ESC) {
        out[n++] = ESC;
        out[n++] = ESC_ESC;
    } else {
        out[n++] = byte;
    }
    return n;
}

size_t plain_encode(unsigned char *frame, unsigned char command, unsigned char id, const unsigned char *payload,
                    size_t payload_size)
{
    unsigned char check = command ^ id;
    size_t length = 0;
    size_t i;
    frame[length++] = END;
    length = slip_put(frame, length, command);
    length = slip_put(frame, length, id);
    for (i = 0; i < payload_size; i++) {
        check ^= payload[i];
        length = slip_put(frame, length, payload[i]);
    }
    length = slip_put(frame, length, check);
    frame[length++] = END;
    return length;
}

void plain_expect(struct plain_decoder *decoder, unsigned char command, unsigned char id)
{
    /* Only the fields the decoder reads; its frame buffer needs no clearing. */
    decoder->length = 0;
    decoder->escaped = 0;
    decoder->want_answer = 1;
    decoder->want_command = command;
    decoder->want_id = id;
    decoder->answered = 0;
}

long long plain_request(int fd, unsigned char command, unsigned char id, const unsigned char *payload,
                        size_t payload_size, int timeout_ms, size_t *wire_bytes)
{
    unsigned char frame[PLAIN_MAX_FRAME];
    unsigned char buffer[512];
    struct plain_decoder decoder;
    size_t length;
    long long start;
    long long deadline;
    if (payload_size > PLAIN_MAX_PAYLOAD)
        return -1;
    length = plain_encode(frame, command, id, payload, payload_size);
    plain_expect(&decoder, command, id);
    start = plain_now_ns();
    deadline = start + (long long)timeout_ms * 1000000LL;
    if (write(fd, frame, length) != (ssize_t)length)
        return -1;
    /* Notifications may come before the answer: only the frame with the
     * request's command and packet id ends the wait. */
    for (;;) {
        struct pollfd pfd = {fd, POLLIN, 0};
        ssize_t count;
        if (plain_now_ns() > deadline)
            return -1;
        if (poll(&pfd, 1, 10) <= 0)
            continue;
        count = read(fd, buffer, sizeof(buffer));
        if (count <= 0)
            continue;
        plain_decoder_feed(&decoder, buffer, (size_t)count);
        if (decoder.answered)
            break;
    }
    if (wire_bytes)
        *wire_bytes = length + decoder.answer_wire_bytes;
    return plain_now_ns() - start;
}

long long plain_receive(int fd, struct plain_decoder *decoder, long long duration_ns)
{
    unsigned char buffer[4096];
    long long cpu = plain_cpu_ns();
    long long end = plain_now_ns() + duration_ns;
    for (;;) {
        long long left = end - plain_now_ns();
        struct pollfd pfd = {fd, POLLIN, 0};
        ssize_t count;
        if (left <= 0)
            break;
        if (poll(&pfd, 1, (int)(left / 1000000) + 1) <= 0)
            continue;
        count = read(fd, buffer, sizeof(buffer));
        if (count > 0)
            plain_decoder_feed(decoder, buffer, (size_t)count);
    }
    return plain_cpu_ns() - cpu;
}

void plain_read_frames(int fd, struct plain_decoder *decoder, unsigned long frames, volatile unsigned long *shown)
{
    unsigned char buffer[4096];
    while (frames == 0 || decoder->frames < frames) {
        struct pollfd pfd = {fd, POLLIN, 0};
        unsigned long before = decoder->frames;
        ssize_t count;
        if (poll(&pfd, 1, -1) < 0)
            return;
        count = read(fd, buffer, sizeof(buffer));
        if (count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR))
            return;
        if (count > 0)
            plain_decoder_feed(decoder, buffer, (size_t)count);
        if (shown && decoder->frames != before)
            *shown = decoder->frames;
    }
}
