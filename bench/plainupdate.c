/* SPDX-FileCopyrightText: 2026 Nivora
 * SPDX-License-Identifier: LGPL-2.1-or-later */
#include "plainupdate.h"
#include "plainline.h"

#include <errno.h>
#include <linux/serial.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

enum {
    START = 0x01,
    END = 0x17,
    VERIFY_CHECKSUM = 0x31,
    GET_FLASH_SIZE = 0x32,
    SEND_DATA = 0x37,
    ENTER_BOOTLOADER = 0x38,
    PROGRAM_ROW = 0x39,
    VERIFY_ROW = 0x3A,
    EXIT_BOOTLOADER = 0x3B,
    MAXIMUM_DATA = 64
};

int plain_request_low_latency(int fd)
{
    struct serial_struct serial;
    memset(&serial, 0, sizeof(serial));
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY))
        return 0;
    serial.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

void plain_restore_latency(int fd)
{
    struct serial_struct serial;
    memset(&serial, 0, sizeof(serial));
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return;
    serial.flags &= ~ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &serial);
}

/* Start, command, length, data, the sum's two's complement, end. */
static size_t build_packet(unsigned char *packet, unsigned char command, const unsigned char *data, size_t size)
{
    unsigned short sum = 0;
    size_t length = 0;
    size_t i;
    packet[length++] = START;
    packet[length++] = command;
    packet[length++] = (unsigned char)(size & 0xFF);
    packet[length++] = (unsigned char)(size >> 8);
    if (size > 0)
        memcpy(packet + length, data, size);
    length += size;
    for (i = 0; i < length; i++)
        sum = (unsigned short)(sum + packet[i]);
    sum = (unsigned short)(1 + ~sum);
    packet[length++] = (unsigned char)(sum & 0xFF);
    packet[length++] = (unsigned char)(sum >> 8);
    packet[length++] = END;
    return length;
}

static int write_all(int fd, const unsigned char *bytes, size_t size, long long deadline)
{
    while (size > 0) {
        ssize_t written = write(fd, bytes, size);
        if (written > 0) {
            bytes += written;
            size -= (size_t)written;
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return -1;
        if (plain_now_ns() > deadline)
            return -1;
        {
            struct pollfd pfd = {fd, POLLOUT, 0};
            poll(&pfd, 1, 10);
        }
    }
    return 0;
}

/* Reads one response: its status and data; -1 on a broken packet or a
 * timeout. Bytes before the start byte are skipped, as the handler does. */
static int read_response(int fd, long long deadline, unsigned char *status, unsigned char *data, size_t *size)
{
    unsigned char packet[7 + MAXIMUM_DATA];
    size_t have = 0;
    size_t need = 4;
    for (;;) {
        while (have < need) {
            struct pollfd pfd = {fd, POLLIN, 0};
            ssize_t count;
            long long left = deadline - plain_now_ns();
            if (left <= 0)
                return -1;
            if (poll(&pfd, 1, (int)(left / 1000000) + 1) <= 0)
                continue;
            count = read(fd, packet + have, need - have);
            if (count > 0)
                have += (size_t)count;
            else if (count == 0 || (errno != EAGAIN && errno != EINTR))
                return -1;
            if (have > 0 && packet[0] != START)
                have = 0;
        }
        if (need == 4) {
            size_t length = (size_t)packet[2] | ((size_t)packet[3] << 8);
            if (length > MAXIMUM_DATA)
                return -1;
            need = 4 + length + 3;
            continue;
        }
        break;
    }
    {
        size_t length = need - 7;
        unsigned short sum = 0;
        size_t i;
        for (i = 0; i < 4 + length; i++)
            sum = (unsigned short)(sum + packet[i]);
        sum = (unsigned short)(1 + ~sum);
        if (packet[need - 1] != END || packet[4 + length] != (sum & 0xFF) || packet[5 + length] != (sum >> 8))
            return -1;
        *status = packet[1];
        memcpy(data, packet + 4, length);
        *size = length;
    }
    return 0;
}

/* One command and its answer; 0 when the answer says success. */
static int exchange(int fd, unsigned char command, const unsigned char *data, size_t size, int timeout_ms,
                    unsigned char *answer, size_t *answer_size)
{
    unsigned char packet[7 + MAXIMUM_DATA];
    unsigned char status = 0xFF;
    long long deadline = plain_now_ns() + (long long)timeout_ms * 1000000LL;
    size_t length = build_packet(packet, command, data, size);
    if (write_all(fd, packet, length, deadline) != 0)
        return -1;
    if (read_response(fd, deadline, &status, answer, answer_size) != 0)
        return -1;
    return status == 0 ? 0 : -1;
}

int plain_update(int fd, const struct plain_image *image, int timeout_ms, long long *elapsed_ns,
                 const char **failed_step)
{
    unsigned char answer[MAXIMUM_DATA];
    unsigned char address[3];
    unsigned char packet[7];
    size_t size = 0;
    size_t r;
    long long start = plain_now_ns();
    unsigned char flash_request = 0;

    *failed_step = "enter the bootloader";
    if (exchange(fd, ENTER_BOOTLOADER, NULL, 0, timeout_ms, answer, &size) != 0 || size != 8)
        return -1;
    *failed_step = "check the chip";
    if (((unsigned long)answer[0] | (unsigned long)answer[1] << 8 | (unsigned long)answer[2] << 16
         | (unsigned long)answer[3] << 24) != image->silicon_id || answer[4] != image->silicon_rev)
        return -1;
    *failed_step = "read the flash size";
    if (exchange(fd, GET_FLASH_SIZE, &flash_request, 1, timeout_ms, answer, &size) != 0 || size != 4)
        return -1;
    if (image->row_count == 0 || (answer[0] | answer[1] << 8) != image->rows[0].number)
        return -1;

    for (r = 0; r < image->row_count; r++) {
        const struct plain_row *row = &image->rows[r];
        size_t offset;
        *failed_step = "send a row's data";
        for (offset = 0; offset < row->size; offset += PLAIN_CHUNK_SIZE) {
            size_t chunk = row->size - offset < PLAIN_CHUNK_SIZE ? row->size - offset : PLAIN_CHUNK_SIZE;
            if (exchange(fd, SEND_DATA, row->data + offset, chunk, timeout_ms, answer, &size) != 0)
                return -1;
        }
        address[0] = row->array_id;
        address[1] = (unsigned char)(row->number & 0xFF);
        address[2] = (unsigned char)(row->number >> 8);
        *failed_step = "program a row";
        if (exchange(fd, PROGRAM_ROW, address, 3, timeout_ms, answer, &size) != 0)
            return -1;
        *failed_step = "verify a row";
        if (exchange(fd, VERIFY_ROW, address, 3, timeout_ms, answer, &size) != 0 || size < 1
                || answer[0] != row->verify_checksum)
            return -1;
    }
    *failed_step = "verify the application checksum";
    if (exchange(fd, VERIFY_CHECKSUM, NULL, 0, timeout_ms, answer, &size) != 0)
        return -1;
    *elapsed_ns = plain_now_ns() - start;

    *failed_step = "leave the bootloader";
    size = build_packet(packet, EXIT_BOOTLOADER, NULL, 0);
    if (write_all(fd, packet, size, plain_now_ns() + (long long)timeout_ms * 1000000LL) != 0)
        return -1;
    tcdrain(fd);
    *failed_step = NULL;
    return 0;
}
