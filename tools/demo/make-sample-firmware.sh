#!/bin/sh
# Writes the sample firmware image of the demo, vexbus-adapter-1.5.0.cyacd,
# byte for byte the same on every run. The image is made for this project
# and holds no real controller code: 128 flash rows of 64 bytes for the
# emulated controller (silicon ID 12345678, revision 0, array 0, rows 0x0022
# upwards), each the row number (two bytes, big-endian) followed by a running
# text.
#
# Format, one line each: a header of silicon ID (4 bytes, big-endian),
# silicon revision and checksum type (1 byte each), then per row ':' array ID
# (1 byte), row number (2 bytes, big-endian), data length (2 bytes,
# big-endian), the data and a checksum byte, the two's complement of the
# 8-bit sum of all the other bytes of the row; all in upper-case hex.
#
# Usage: make-sample-firmware.sh [OUTPUT]   (default: next to this script)
set -eu
output=${1:-$(dirname "$0")/vexbus-adapter-1.5.0.cyacd}

LC_ALL=C awk -v first_row=34 -v rows=128 -v row_size=64 \
    -v text="Nivora Vexbus USB adapter sample firmware 1.5.0 -- " '
BEGIN {
    for (i = 32; i < 127; i++)
        code[sprintf("%c", i)] = i
    printf "%08X%02X%02X\n", 305419896, 0, 0
    position = 0
    for (r = 0; r < rows; r++) {
        row = first_row + r
        n = 0
        bytes[n++] = 0
        bytes[n++] = int(row / 256)
        bytes[n++] = row % 256
        bytes[n++] = int(row_size / 256)
        bytes[n++] = row_size % 256
        bytes[n++] = int(row / 256)
        bytes[n++] = row % 256
        while (n < 5 + row_size) {
            bytes[n++] = code[substr(text, position % length(text) + 1, 1)]
            position++
        }
        sum = 0
        line = ":"
        for (i = 0; i < n; i++) {
            sum += bytes[i]
            line = line sprintf("%02X", bytes[i])
        }
        printf "%s%02X\n", line, (256 - sum % 256) % 256
    }
}' > "$output.tmp"
mv "$output.tmp" "$output"
