#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Runs every benchmark and prints one line per figure beside its reference,
# both measured in this run, with their ratio; writes the figures to
# OUTPUT/results.json. The machine may be shared and noisy: compare a figure
# with its reference, not with another run's. The instruction counts under
# callgrind are the figures that hold across runs and machines.
#
# Usage: run-bench.sh BUILD-DIR OUTPUT-DIR   (BENCH_SECONDS: length of each
# line-rate round, default 5; BENCH_ROUNDS: line-rate rounds, default 7;
# BENCH_REQUESTS: round trips, default 1000)
set -eu
build=$1
out=$2
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
seconds=${BENCH_SECONDS:-5}
rounds=${BENCH_ROUNDS:-7}
requests=${BENCH_REQUESTS:-1000}

emulator=$build/tools/vexbus-emulator/vexbus-emulator
vexbusctl=$build/tools/vexbusctl/vexbusctl
line=$build/bench/nivora-bench-line
update=$build/bench/nivora-bench-update
decode=$build/bench/nivora-bench-decode

mkdir -p "$out"
lines=$out/results.jsonl
: > "$lines"
export BENCH_RESULTS="$lines"
unset QT_LOGGING_RULES || true

emulator_pid=
start_emulator() {
    rm -f "$out/emulator.tty"
    "$emulator" --quiet --line-pacing "$@" > "$out/emulator.tty" &
    emulator_pid=$!
    while [ ! -s "$out/emulator.tty" ]; do sleep 0.05; done
    port=$(head -n 1 "$out/emulator.tty")
}
stop_emulator() {
    kill "$emulator_pid" 2>/dev/null || true
    wait "$emulator_pid" 2>/dev/null || true
    emulator_pid=
}
unpaced_pid=
receive_pids=
# shellcheck disable=SC2086
trap 'stop_emulator; [ -z "$unpaced_pid" ] || kill "$unpaced_pid" 2>/dev/null || true; [ -z "$receive_pids" ] || kill $receive_pids 2>/dev/null || true' EXIT

# One figure as the programs print it, from the shell.
figure() {
    awk -v figure="$1" -v subject="$2" -v value="$3" -v unit="$4" -v refname="$5" -v ref="$6" -v goal="$7" \
        -v file="$lines" 'BEGIN {
        ratio = ref != 0 ? value / ref : 0
        printf "%-12s %-56s %11.1f %-7s | %-24s %11.1f | ratio %7.3f%s\n", figure, subject, value, unit, refname, ref,
               ratio, goal == "" ? "" : "  (goal " goal ")"
        printf "{\"figure\":\"%s\",\"subject\":\"%s\",\"value\":%.3f,\"unit\":\"%s\",\"referenceName\":\"%s\",\"reference\":%.3f,\"ratio\":%.4f%s}\n",
               figure, subject, value, unit, refname, ref, ratio, goal == "" ? "" : ",\"goal\":\"" goal "\"" >> file
    }'
}

# Instructions of a program under callgrind (the emulator, another process,
# is not counted); with --toggle-collect=FUNCTION first, only within FUNCTION.
instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2> "$out/callgrind.err" > "$out/callgrind.out"
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$out/callgrind.err"
}
# The same with the profile kept in FILE, for inclusive().
profile() {
    file=$1; shift
    valgrind --tool=callgrind --callgrind-out-file="$file" "$@" 2> "$out/callgrind.err" > "$out/callgrind.out"
    callgrind_annotate --inclusive=yes --threshold=100 "$file" > "$file.txt" 2> /dev/null
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$out/callgrind.err"
}
# Inclusive instructions of FUNCTION (as callgrind_annotate names it) in
# PROFILE; the largest entry, as a deleting destructor and the destructor it
# calls carry the same name.
inclusive() {
    awk -v name="$2" 'BEGIN { best = 0 }
        index($0, ":" name " [") {
            value = $1; gsub(/,/, "", value); if (value + 0 > best) best = value + 0
        }
        END { print best }' "$1.txt"
}
# Instructions a frame of a receiver that stops after the number of frames
# given as its last argument.
per_frame() {
    for _ in 1 2 3; do
        short=$(instructions "$@" 100)
        long=$(instructions "$@" 1100)
        echo $(( (long - short) / 1000 ))
    done | sort -n | sed -n 2p
}
counted_bytes() {
    sed -n 's/^bytes \([0-9]*\)$/\1/p' "$out/callgrind.out"
}

echo "== decode: bytes per second through the receive path, against a plain C loop"
"$decode" --benchmark_min_time=1 --benchmark_color=false

echo "== update: port opened to the application checksum, against a plain C host and the wire-time limit (line model, 115200 8N1)"
# Library and plain host take turns, a few rounds each; the 64 KiB image
# without low latency takes minutes a run, so it has one round.
for image in "$top/tools/demo/vexbus-adapter-1.5.0.cyacd" "--rows 1024 --rounds 3 --slow-rounds 1"; do
    # shellcheck disable=SC2086
    sh "$top/tests/support/private-locks.sh" umockdev-wrapper "$update" $image
done

echo "== request: round trip of a command beyond the wire time of its bytes"
start_emulator
"$line" request "$port" "$requests"
# The same line unpaced beside it: what the emulator adds to its model.
rm -f "$out/unpaced.tty"
"$emulator" --quiet > "$out/unpaced.tty" &
unpaced_pid=$!
while [ ! -s "$out/unpaced.tty" ]; do sleep 0.05; done
"$line" emulator "$port" "$(head -n 1 "$out/unpaced.tty")" "$requests"
kill "$unpaced_pid"; wait "$unpaced_pid" 2>/dev/null || true; unpaced_pid=
rm -f "$out/unpaced.tty"
stop_emulator

echo "== line rate: receivers at the same time on three lines the emulators fill alike, in rounds"
# A 16-byte bus frame is 21 bytes on the wire: 548 a second fill 115200 baud.
traffic="--bus-traffic 548 --bus-frame 00112233445566778899aabbccddeeff"
stop_emulator
# shellcheck disable=SC2086
start_emulator $traffic; receive_pids=$emulator_pid; receive_ports=$port
# shellcheck disable=SC2086
start_emulator $traffic; receive_pids="$receive_pids $emulator_pid"; receive_ports="$receive_ports $port"
# shellcheck disable=SC2086
start_emulator $traffic; receive_pids="$receive_pids $emulator_pid"; receive_ports="$receive_ports $port"
emulator_pid=
# shellcheck disable=SC2086
"$line" receive "$seconds" "$rounds" "$vexbusctl" $receive_ports 2> "$out/receive.log"
# shellcheck disable=SC2086
kill $receive_pids 2>/dev/null || true
# shellcheck disable=SC2086
wait $receive_pids 2>/dev/null || true
receive_pids=

echo "== service: a bus frame through vexbusd to a D-Bus client, against an adapter in the client's process; vexbusd's CPU at line rate"
stop_emulator
run_service() {
    sh "$top/tests/support/private-locks.sh" umockdev-wrapper "$build/bench/nivora-bench-service" "$build/tools/vexbusd/vexbusd" \
        "$vexbusctl" "$top/tools/vexbusd/data/org.nivora.Vexbus1.conf" "$@"
}
run_service --seconds "$seconds" 2> "$out/service.log"

echo "== mqtt: the bridge of vexbusd to a subscriber of Debian's mosquitto on 127.0.0.1, against the D-Bus path; vexbusd's CPU with the bridge on"
mosquitto=$(command -v mosquitto || echo /usr/sbin/mosquitto)
if [ -x "$mosquitto" ]; then
    run_service --seconds "$seconds" --mqtt "$mosquitto" 2> "$out/mqtt.log"
else
    echo "mosquitto is not installed: no MQTT figures"
fi

if command -v valgrind > /dev/null; then
    echo "== instructions under callgrind (deterministic), against plain C"
    i1=$(instructions "$decode" count-decode 1); b1=$(counted_bytes)
    i2=$(instructions "$decode" count-decode 6); b2=$(counted_bytes)
    p1=$(instructions "$decode" count-plain-decode 1); c1=$(counted_bytes)
    p2=$(instructions "$decode" count-plain-decode 6); c2=$(counted_bytes)
    figure instructions "per received byte (decode, bus frames)" "$(( (i2 - i1) / (b2 - b1) ))" "instr" \
        "plain C loop" "$(( (p2 - p1) / (c2 - c1) ))" ""

    # Only the requests are counted, not the start-up (the adapter's port
    # search varies with the machine's devices), and the plain host builds
    # and decodes its frames itself, as the library does.
    start_emulator
    i1=$(profile "$out/request-20.callgrind" '--toggle-collect=CommandRunner::run*' "$line" count-request "$port" 20)
    i2=$(profile "$out/request-120.callgrind" '--toggle-collect=CommandRunner::run*' "$line" count-request "$port" 120)
    p1=$(instructions '--toggle-collect=plainRequest*' "$line" count-plain-request "$port" 20)
    p2=$(instructions '--toggle-collect=plainRequest*' "$line" count-plain-request "$port" 120)
    stop_emulator
    plain=$(( (p2 - p1) / 100 ))
    figure instructions "per request (command and its response)" "$(( (i2 - i1) / 100 ))" "instr" \
        "plain C round trip" "$plain" "ratio <= 5"

    # Where a request's instructions go, from the same two runs: the
    # library where it is entered (the command; the port's read
    # notification, with the response's decoding and the reply's end; the
    # reply's deletion), and the event loop without the library: Qt's
    # dispatch of the port's and posted events, glib's own part of each
    # iteration (prepare, query, poll, check), the loop's entry and exit.
    # The readyRead part holds the runner's receiver of commandFinished()
    # too (it quits the loop), as any application has one.
    # The parts move by a few hundred instructions from run to run with the
    # emulator's timing (a response read in one piece or two); the sum is
    # the total above. The event loop alone against the goal tells whether
    # a library with a QObject reply per command on Qt's event loop can
    # reach it.
    per_request() {
        echo $(( ($(inclusive "$out/request-120.callgrind" "$1") - $(inclusive "$out/request-20.callgrind" "$1")) / 100 ))
    }
    total=$(( (i2 - i1) / 100 ))
    send=$(per_request 'NivoraVexbusUsb::NivoraVexbusUsbAdapter::writeDataToVexbus(QByteArray const&)')
    receive=$(per_request 'NivoraVexbusUsb::NivoraVexbusUsbInterface::onReadyRead()')
    deletion=$(per_request 'NivoraVexbusUsb::NivoraVexbusUsbReply::~NivoraVexbusUsbReply()')
    iteration=$(per_request 'g_main_context_iteration')
    dispatch=$(per_request 'g_main_context_dispatch')
    library=$(( send + receive + deletion ))
    part() {
        figure instructions "$1" "$2" "instr" "plain C round trip" "$plain" "${3:-}"
    }
    part "  library: writeDataToVexbus() (encode, write)" "$send"
    part "  library: the port's readyRead (decode, reply's end)" "$receive"
    part "  library: the reply's deletion" "$deletion"
    part "  library, together" "$library"
    part "  loop: Qt's dispatch of the port's, posted events" "$(( dispatch - receive - deletion ))"
    part "  loop: glib's iterations before dispatch" "$(( iteration - dispatch ))"
    part "  loop: entry and exit (QEventLoop::exec)" "$(( total - send - iteration ))"
    part "  event loop alone, without the library" "$(( total - library ))" "ratio <= 5 for the whole"
    rm -f "$out"/request-*.callgrind "$out"/request-*.callgrind.txt

    # Per bus frame received at line rate: each receiver for 100 and for
    # 1100 frames, the difference divided by 1000, so the start-up drops
    # out; the median of three such pairs, since how the paced line's
    # slices fall into reads (one or two wake-ups a frame) varies a little
    # from run to run. The event loop's wake-ups are in all three.
    # shellcheck disable=SC2086
    start_emulator $traffic
    plain_frame=$(per_frame "$line" read-plain "$port")
    figure instructions "per frame at line rate, in-process adapter" "$(per_frame "$line" read-adapter "$port")" \
        "instr" "plain C reader" "$plain_frame" ""
    figure instructions "per frame at line rate, vexbusctl monitor" \
        "$(per_frame "$vexbusctl" --port "$port" monitor --count)" "instr" "plain C reader" "$plain_frame" ""
    stop_emulator

    # vexbusd with three D-Bus clients and vexbusctl --direct monitor, each
    # under callgrind, a frame every 20 ms on each line.
    run_service --count-instructions --frames 200 2> "$out/service-callgrind.log"
    # The same with three clients on frame sockets, the signal off.
    run_service --count-instructions --socket-clients --frames 200 2> "$out/service-sockets-callgrind.log"
else
    echo "valgrind is not installed: no instruction counts"
fi

{ echo "["; sed '$!s/$/,/' "$lines"; echo "]"; } > "$out/results.json"
rm -f "$lines" "$out/emulator.tty" "$out/callgrind.out" "$out/callgrind.err"
echo "figures written to $out/results.json"
