#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Writes a firmware image made for this project, byte for byte the same on
# every run with the same options. It holds no real controller code: each
# row is its row number (two bytes, big-endian) followed by a running text.
# Without options it writes the sample image of the demo,
# vexbus-adapter-1.5.0.cyacd: 128 flash rows of 64 bytes for the emulated
# controller (silicon ID 12345678, revision 0, array 0, rows 0x0022 upwards)
# and the metadata row in the controller's last row, 0x00FF.
# The options make images as the vendor's tools make them for other chips.
#
# The image is a bootloadable: its last row is the metadata row that the
# PSoC bootloader checks the application with, zeros and then, in the last
# 64 bytes of its data (little-endian): the application checksum (the two's
# complement of the 8-bit sum of the data rows' bytes), the application's
# address (the first row's), the bootloader's last row (the row before the
# first), the application's length in bytes, and zeros (not active, not
# verified). Row numbers and addresses count from the start of array 0.
#
# Rows of 288 bytes are those of PSoC 3 and PSoC 5LP with ECC disabled: 256
# data bytes and 32 configuration bytes. There the data bytes alone make up
# the addresses and the length, the metadata sits in the last 64 of the 256
# data bytes of row 255 (arrays hold 256 rows), and the checksum sums the
# configuration bytes of the application's rows too, as those chips'
# bootloader does with ECC disabled.
#
# Format, one line each: a header of silicon ID (4 bytes, big-endian),
# silicon revision and checksum type (1 byte each), then per row ':' array ID
# (1 byte), row number (2 bytes, big-endian), data length (2 bytes,
# big-endian), the data and a checksum byte, the two's complement of the
# 8-bit sum of all the other bytes of the row; in upper-case hex, LF line
# ends, the last line ended too, unless the options say otherwise.
#
# Usage: make-sample-firmware.sh [OPTION]... [OUTPUT]   (default OUTPUT: next to this script)
#   --silicon-id HEX      silicon ID, 8 hex digits (12345678)
#   --revision N          silicon revision (0)
#   --array N             flash array of the rows (0)
#   --first-row N         number of the first row (34)
#   --rows N              number of rows (128)
#   --row-size N          bytes a row (64); 128, 256 and 288 (with configuration bytes) are usual too
#   --metadata ARRAY:ROW  where the metadata row goes, the chip's last row
#                         (default: row 255 of the rows' array); in another
#                         array on chips with more than one
#   --checksum-type N     checksum type of the header (0: sum, 1: CRC-16 packets)
#   --lower-case          hex digits in lower case
#   --crlf                CR LF line ends
#   --no-final-newline    no line end after the last row
#   --wrong-config-byte   with rows of 288 bytes: change a configuration byte
#                         of the first row after the application checksum is
#                         taken (the row's own checksum stays right), so that
#                         only a bootloader that counts them refuses the image
set -eu
silicon_id=12345678
revision=0
array=0
first_row=34
rows=128
row_size=64
metadata=
checksum_type=0
lower=0
line_end='\n'
final_newline=1
wrong_config=0
output=
while [ $# -gt 0 ]; do
    case "$1" in
    --silicon-id) silicon_id=$2; shift ;;
    --revision) revision=$2; shift ;;
    --array) array=$2; shift ;;
    --first-row) first_row=$2; shift ;;
    --rows) rows=$2; shift ;;
    --row-size) row_size=$2; shift ;;
    --metadata) metadata=$2; shift ;;
    --checksum-type) checksum_type=$2; shift ;;
    --lower-case) lower=1 ;;
    --crlf) line_end='\r\n' ;;
    --no-final-newline) final_newline=0 ;;
    --wrong-config-byte) wrong_config=1 ;;
    -*) echo "make-sample-firmware.sh: unknown option $1" >&2; exit 2 ;;
    *) output=$1 ;;
    esac
    shift
done
output=${output:-$(dirname "$0")/vexbus-adapter-1.5.0.cyacd}
metadata=${metadata:-$array:255}
# Configuration bytes: one for every 8 data bytes of a 256-byte row.
config_size=0
[ "$row_size" -eq 288 ] && config_size=32
if [ "$wrong_config" = 1 ] && [ "$config_size" = 0 ]; then
    echo "make-sample-firmware.sh: --wrong-config-byte needs rows with configuration bytes (--row-size 288)" >&2
    exit 2
fi
if [ "$row_size" -lt 64 ]; then
    echo "make-sample-firmware.sh: rows of $row_size bytes cannot hold the 64 bytes of metadata" >&2
    exit 2
fi
if [ "${metadata%%:*}" = "$array" ] && [ "${metadata#*:}" -ge "$first_row" ] \
        && [ "${metadata#*:}" -lt $((first_row + rows)) ]; then
    echo "make-sample-firmware.sh: the metadata row $metadata is one of the data rows; give --metadata" >&2
    exit 2
fi

LC_ALL=C awk -v silicon_id="$silicon_id" -v revision="$revision" -v array="$array" \
    -v first_row="$first_row" -v rows="$rows" -v row_size="$row_size" -v metadata="$metadata" \
    -v checksum_type="$checksum_type" -v config_size="$config_size" -v wrong_config="$wrong_config" \
    -v lower="$lower" -v line_end="$line_end" -v final_newline="$final_newline" \
    -v text="Nivora Vexbus USB adapter sample firmware 1.5.0 -- " '
function hex(value) {
    return sprintf(lower ? "%02x" : "%02X", value)
}
function emit(line) {
    # Every line but the last is ended at once; the last one at the end.
    if (pending != "")
        printf "%s%s", pending, line_end
    pending = line
}
function little_endian(offset, value, size,    i) {
    for (i = 0; i < size; i++) {
        bytes[offset + i] = value % 256
        value = int(value / 256)
    }
}
function row_line(row_array, row, is_metadata,    n, i, sum, line, base, data_size) {
    data_size = row_size - config_size
    n = 0
    bytes[n++] = row_array
    bytes[n++] = int(row / 256)
    bytes[n++] = row % 256
    bytes[n++] = int(row_size / 256)
    bytes[n++] = row_size % 256
    if (is_metadata) {
        while (n < 5 + row_size)
            bytes[n++] = 0
        base = 5 + data_size - 64
        bytes[base] = (256 - application_sum % 256) % 256
        little_endian(base + 1, first_row * data_size, 4)
        little_endian(base + 5, first_row - 1, 2)
        little_endian(base + 9, rows * data_size, 4)
    } else {
        bytes[n++] = int(row / 256)
        bytes[n++] = row % 256
        while (n < 5 + row_size) {
            bytes[n++] = code[substr(text, position % length(text) + 1, 1)]
            position++
        }
        # Data and configuration bytes alike count.
        for (i = 5; i < n; i++)
            application_sum += bytes[i]
        if (wrong_config && row == first_row)
            bytes[5 + data_size] = (bytes[5 + data_size] + 1) % 256
    }
    sum = 0
    line = ":"
    for (i = 0; i < n; i++) {
        sum += bytes[i]
        line = line hex(bytes[i])
    }
    return line hex((256 - sum % 256) % 256)
}
BEGIN {
    for (i = 32; i < 127; i++)
        code[sprintf("%c", i)] = i
    header = silicon_id hex(revision) hex(checksum_type)
    emit(lower ? tolower(header) : toupper(header))
    position = 0
    for (r = 0; r < rows; r++)
        emit(row_line(array, first_row + r, 0))
    split(metadata, where, ":")
    emit(row_line(where[1], where[2], 1))
    printf "%s", pending
    if (final_newline)
        printf "%s", line_end
}' > "$output.tmp"
mv "$output.tmp" "$output"
