// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

/* The far end of the peer's line: a Modbus RTU server on a pseudo-terminal
 * that answers read-holding-registers requests (function 3) for its address
 * with as many registers of the value 0x1234, with a correct CRC; anything
 * else it drops. Prints the terminal's path on its first line, then answers
 * until stopped.
 * Usage: nivora-bench-modbus-responder [ADDRESS] */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static unsigned short crc16(const unsigned char *data, size_t size)
{
    unsigned short crc = 0xFFFF;
    size_t i;
    int bit;
    for (i = 0; i < size; i++) {
        crc ^= data[i];
        for (bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? (unsigned short)((crc >> 1) ^ 0xA001) : (unsigned short)(crc >> 1);
    }
    return crc;
}

int main(int argc, char *argv[])
{
    const unsigned char address = (unsigned char)(argc > 1 ? atoi(argv[1]) : 1);
    unsigned char request[256];
    size_t length = 0;
    struct termios attributes;
    int fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0)
        return 1;
    /* The server's side raw too: the client's bytes come as written. */
    if (tcgetattr(fd, &attributes) == 0) {
        cfmakeraw(&attributes);
        tcsetattr(fd, TCSANOW, &attributes);
    }
    printf("%s\n", ptsname(fd));
    fflush(stdout);
    for (;;) {
        ssize_t count = read(fd, request + length, sizeof(request) - length);
        if (count <= 0) {
            /* No client has the line open yet. */
            usleep(10000);
            continue;
        }
        length += (size_t)count;
        /* A read request is eight bytes: address, function, start, count, CRC. */
        while (length >= 8) {
            unsigned short crc = crc16(request, 6);
            if (request[0] == address && request[1] == 3 && request[6] == (crc & 0xFF) && request[7] == (crc >> 8)) {
                unsigned char answer[5 + 2 * 125];
                size_t registers = (size_t)(request[4] << 8 | request[5]);
                size_t size = 0;
                size_t i;
                if (registers < 1 || registers > 125)
                    registers = 1;
                answer[size++] = address;
                answer[size++] = 3;
                answer[size++] = (unsigned char)(2 * registers);
                for (i = 0; i < registers; i++) {
                    answer[size++] = 0x12;
                    answer[size++] = 0x34;
                }
                crc = crc16(answer, size);
                answer[size++] = (unsigned char)(crc & 0xFF);
                answer[size++] = (unsigned char)(crc >> 8);
                if (write(fd, answer, size) != (ssize_t)size)
                    return 1;
                length -= 8;
                memmove(request, request + 8, length);
            } else {
                /* Out of step: drop a byte and look again. */
                length -= 1;
                memmove(request, request + 1, length);
            }
        }
    }
}
