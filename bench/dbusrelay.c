// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

/* The floor of a signal a frame without Qt: libdbus alone reads the line
 * with the plain C host's decoder and sends each frame as the service's
 * signal on the system bus (DBUS_SYSTEM_BUS_ADDRESS), flushed at once.
 * Usage: nivora-bench-dbusrelay relay PORT FRAMES [COUNTER]
 * (FRAMES 0: until stopped; COUNTER: a file another process maps, where the
 * count of frames sent is shown). */
#include "plainline.h"

#include <dbus/dbus.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

static volatile unsigned long *mapped_counter(const char *path)
{
    void *memory;
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return NULL;
    memory = mmap(NULL, sizeof(unsigned long), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return memory == MAP_FAILED ? NULL : (volatile unsigned long *)memory;
}

static int send_frame(DBusConnection *connection, const unsigned char *frame, int size)
{
    DBusMessage *signal = dbus_message_new_signal("/org/nivora/Vexbus1/adapter/RELAY01", "org.nivora.Vexbus1.Adapter",
                                                  "BusFrameReceived");
    int ok;
    if (!signal)
        return 0;
    ok = dbus_message_append_args(signal, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &frame, size, DBUS_TYPE_INVALID)
         && dbus_connection_send(connection, signal, NULL);
    dbus_message_unref(signal);
    dbus_connection_flush(connection);
    return ok;
}

int main(int argc, char *argv[])
{
    static struct plain_decoder decoder;
    unsigned char buffer[4096];
    unsigned long frames;
    unsigned long sent = 0;
    volatile unsigned long *counter = NULL;
    DBusConnection *connection;
    DBusError error;
    int fd;
    if (argc < 4 || strcmp(argv[1], "relay") != 0) {
        fprintf(stderr, "usage: nivora-bench-dbusrelay relay PORT FRAMES [COUNTER]\n");
        return 2;
    }
    frames = strtoul(argv[3], NULL, 10);
    if (argc > 4)
        counter = mapped_counter(argv[4]);
    dbus_error_init(&error);
    connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (!connection) {
        fprintf(stderr, "nivora-bench-dbusrelay: no system bus: %s\n", error.message);
        dbus_error_free(&error);
        return 1;
    }
    dbus_connection_set_exit_on_disconnect(connection, 0);
    fd = plain_open_tty(argv[2]);
    if (fd < 0) {
        fprintf(stderr, "nivora-bench-dbusrelay: cannot open %s\n", argv[2]);
        return 1;
    }
    while (frames == 0 || sent < frames) {
        struct pollfd pfd = {fd, POLLIN, 0};
        ssize_t count;
        if (poll(&pfd, 1, -1) < 0 && errno != EINTR)
            break;
        count = read(fd, buffer, sizeof(buffer));
        if (count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR))
            break;
        if (count > 0)
            plain_decoder_feed(&decoder, buffer, (size_t)count);
        /* A bus frame's 16 bytes from the decoder's last packet, as the
         * benchmark's lines carry them, for each frame the read ended. */
        for (; sent < decoder.frames; sent++)
            if (!send_frame(connection, decoder.frame, 16))
                return 1;
        if (counter)
            *counter = sent;
    }
    close(fd);
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    return 0;
}
