#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Runs every benchmark and prints one line per figure beside its reference,
# both measured in this run, with their ratio; writes the figures to
# OUTPUT/results.json. The machine may be shared and noisy: compare a figure
# with its reference, not with another run's. The instruction counts under
# callgrind are the figures that hold across runs and machines.
#
# The library's figures stand beside floors that do the same work without
# it (bare Qt programs, plain C) and beside a peer (QtSerialBus's Modbus RTU
# client), each for both of Qt's event dispatchers on Linux: GLib's, Qt's
# default, and Qt's own (QT_NO_GLIB=1), which vexbusctl and vexbusd choose
# unless QT_NO_GLIB is set.
#
# Usage: run-bench.sh BUILD-DIR OUTPUT-DIR   (BENCH_SECONDS: length of each
# line-rate round, default 5; BENCH_ROUNDS: line-rate rounds, default 5;
# BENCH_REQUESTS: round trips, default 1000)
set -eu
build=$1
out=$2
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
seconds=${BENCH_SECONDS:-5}
rounds=${BENCH_ROUNDS:-5}
requests=${BENCH_REQUESTS:-1000}

emulator=$build/tools/vexbus-emulator/vexbus-emulator
vexbusctl=$build/tools/vexbusctl/vexbusctl
line=$build/bench/nivora-bench-line
update=$build/bench/nivora-bench-update
decode=$build/bench/nivora-bench-decode
bareqt=$build/bench/nivora-bench-bareqt
modbus=$build/bench/nivora-bench-modbus
responder=$build/bench/nivora-bench-modbus-responder

mkdir -p "$out"
lines=$out/results.jsonl
: > "$lines"
export BENCH_RESULTS="$lines"
unset QT_LOGGING_RULES || true
unset QT_NO_GLIB || true

# The event dispatcher of the programs measured: GLib's or Qt's own. Set
# and empty, QT_NO_GLIB leaves GLib's to vexbusctl and vexbusd too.
dispatcher() {
    case $1 in
    GLib) export QT_NO_GLIB= ;;
    Qt) export QT_NO_GLIB=1 ;;
    esac
}

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
responder_pid=
# shellcheck disable=SC2086
trap 'stop_emulator; [ -z "$unpaced_pid" ] || kill "$unpaced_pid" 2>/dev/null || true; [ -z "$receive_pids" ] || kill $receive_pids 2>/dev/null || true; [ -z "$responder_pid" ] || kill "$responder_pid" 2>/dev/null || true' EXIT

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

echo "== line rate: receivers at the same time on four lines the emulators fill alike, in rounds, for both dispatchers"
# A 16-byte bus frame is 21 bytes on the wire: 548 a second fill 115200 baud.
traffic="--bus-traffic 548 --bus-frame 00112233445566778899aabbccddeeff"
stop_emulator
receive_ports=
for _ in 1 2 3 4; do
    # shellcheck disable=SC2086
    start_emulator $traffic; receive_pids="$receive_pids $emulator_pid"; receive_ports="$receive_ports $port"
done
emulator_pid=
for name in GLib Qt; do
    dispatcher "$name"
    # With all library logging on once, on the tools' own dispatcher.
    verbose=; [ "$name" = Qt ] && verbose=verbose
    # shellcheck disable=SC2086
    "$line" receive "$seconds" "$rounds" "$vexbusctl" "$bareqt" $receive_ports $verbose 2>> "$out/receive.log"
done
unset QT_NO_GLIB
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
    echo "== instructions under callgrind (deterministic): the library beside bare Qt floors, a peer and plain C"
    i1=$(instructions "$decode" count-decode 1); b1=$(counted_bytes)
    i2=$(instructions "$decode" count-decode 6); b2=$(counted_bytes)
    p1=$(instructions "$decode" count-plain-decode 1); c1=$(counted_bytes)
    p2=$(instructions "$decode" count-plain-decode 6); c2=$(counted_bytes)
    figure instructions "per received byte (decode, bus frames)" "$(( (i2 - i1) / (b2 - b1) ))" "instr" \
        "plain C loop" "$(( (p2 - p1) / (c2 - c1) ))" ""

    # A request's instructions: 20 and 120 requests, the difference divided
    # by 100, and only within the function that makes one request and waits
    # for its answer (--toggle-collect), so start-up drops out. The bare Qt
    # programs frame and decode with the plain C host's code; one writes to
    # the descriptor at once, as the library's port does, the other with
    # the stock QSerialPort::write(). The peer reads one holding register
    # from a Modbus RTU responder on a pseudo-terminal. Plain C, the
    # physical floor, has no event loop.
    start_emulator
    peer_port=
    if [ -x "$modbus" ] && [ -x "$responder" ]; then
        rm -f "$out/responder.tty"
        "$responder" > "$out/responder.tty" &
        responder_pid=$!
        while [ ! -s "$out/responder.tty" ]; do sleep 0.05; done
        peer_port=$(head -n 1 "$out/responder.tty")
    fi
    p1=$(instructions '--toggle-collect=plainRequest*' "$line" count-plain-request "$port" 20)
    p2=$(instructions '--toggle-collect=plainRequest*' "$line" count-plain-request "$port" 120)
    plain=$(( (p2 - p1) / 100 ))
    per_request_of() {
        pattern=$1; shift
        r1=$(instructions "--toggle-collect=$pattern" "$@" 20)
        r2=$(instructions "--toggle-collect=$pattern" "$@" 120)
        echo $(( (r2 - r1) / 100 ))
    }
    for name in GLib Qt; do
        dispatcher "$name"
        i1=$(profile "$out/request-$name-20.callgrind" '--toggle-collect=CommandRunner::run*' "$line" count-request "$port" 20)
        i2=$(profile "$out/request-$name-120.callgrind" '--toggle-collect=CommandRunner::run*' "$line" count-request "$port" 120)
        total=$(( (i2 - i1) / 100 ))
        direct=$(per_request_of '*Requester::run*' "$bareqt" count-request "$port")
        stock=$(per_request_of '*Requester::run*' "$bareqt" count-request-stock "$port")
        figure instructions "per request, library, $name dispatcher" "$total" "instr" \
            "bare Qt, writing as it" "$direct" "<= 1.3"
        figure instructions "per request, library, $name dispatcher" "$total" "instr" \
            "bare Qt, QSerialPort::write" "$stock" ""
        if [ -n "$peer_port" ]; then
            peer=$(per_request_of '*ModbusRunner::run*' "$modbus" count-request "$peer_port")
            figure instructions "per request, library, $name dispatcher" "$total" "instr" \
                "QtSerialBus Modbus RTU" "$peer" "<= 0.3"
        fi
        figure instructions "per request, library, $name dispatcher" "$total" "instr" \
            "plain C round trip" "$plain" ""
        figure instructions "per request, bare Qt writing as the library, $name" "$direct" "instr" \
            "plain C round trip" "$plain" ""

        # Where the library's request goes, from the same two runs: where it
        # is entered (the command; the port's read notification, with the
        # response's decoding and the reply's end; the reply's deletion);
        # the rest is the event loop and Qt, which the bare Qt program pays
        # as well. The parts move by a few hundred instructions from run to
        # run with the emulator's timing (a response read in one piece or
        # two).
        per_request() {
            echo $(( ($(inclusive "$out/request-$name-120.callgrind" "$1") - $(inclusive "$out/request-$name-20.callgrind" "$1")) / 100 ))
        }
        send=$(per_request 'NivoraVexbusUsb::NivoraVexbusUsbAdapter::writeDataToVexbus(QByteArray const&)')
        receive=$(per_request 'NivoraVexbusUsb::NivoraVexbusUsbInterface::onReadyRead()')
        deletion=$(per_request 'NivoraVexbusUsb::NivoraVexbusUsbReply::~NivoraVexbusUsbReply()')
        library=$(( send + receive + deletion ))
        part() {
            figure instructions "$1" "$2" "instr" "bare Qt, writing as it" "$direct" ""
        }
        part "  library: writeDataToVexbus() (encode, write), $name" "$send"
        part "  library: the port's readyRead (decode, reply's end), $name" "$receive"
        part "  library: the reply's deletion, $name" "$deletion"
        part "  library's entry points, together, $name" "$library"
        part "  the rest: event loop and Qt, $name" "$(( total - library ))"
    done
    unset QT_NO_GLIB
    if [ -n "$responder_pid" ]; then
        kill "$responder_pid"; wait "$responder_pid" 2>/dev/null || true; responder_pid=
    fi
    stop_emulator

    # Per bus frame at 100 frames a second, each frame in one write of the
    # (unpaced) emulator, so one read a frame: each receiver for 100 and for
    # 600 frames, the difference divided by 500, so the start-up drops out;
    # the median of three such pairs. The four receivers run at the same
    # time, each on its own line: callgrind's counts do not depend on the
    # load, as long as each frame still comes in a read of its own.
    frame_ports=
    frame_pids=
    for _ in 1 2 3 4; do
        rm -f "$out/emulator.tty"
        "$emulator" --quiet --bus-traffic 100 --bus-frame 00112233445566778899aabbccddeeff > "$out/emulator.tty" &
        frame_pids="$frame_pids $!"
        while [ ! -s "$out/emulator.tty" ]; do sleep 0.05; done
        frame_ports="$frame_ports $(head -n 1 "$out/emulator.tty")"
    done
    receive_pids=$frame_pids
    receivers="plain bareqt adapter monitor"
    # Instructions of receiver NAME on PORT for FRAMES frames, into FILE.
    count_receiver() {
        file=$1; name=$2; rport=$3; frames=$4
        case $name in
        plain) set -- "$line" read-plain "$rport" "$frames" ;;
        bareqt) set -- "$bareqt" read "$rport" "$frames" ;;
        adapter) set -- "$line" read-adapter "$rport" "$frames" ;;
        monitor) set -- "$vexbusctl" --port "$rport" monitor --count "$frames" ;;
        esac
        valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2> "$file" > /dev/null
    }
    collected() {
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$1"
    }
    for name in GLib Qt; do
        dispatcher "$name"
        for _ in 1 2 3; do
            for frames in 100 600; do
                running=
                # shellcheck disable=SC2086
                set -- $frame_ports
                for receiver in $receivers; do
                    count_receiver "$out/frame-$receiver-$frames.err" "$receiver" "$1" "$frames" &
                    running="$running $!"
                    shift
                done
                # shellcheck disable=SC2086
                wait $running
            done
            for receiver in $receivers; do
                echo $(( ($(collected "$out/frame-$receiver-600.err") - $(collected "$out/frame-$receiver-100.err")) / 500 )) \
                    >> "$out/frame-$receiver.$name"
            done
        done
        middle() {
            sort -n "$out/frame-$1.$name" | sed -n 2p
        }
        plain_frame=$(middle plain)
        bare_frame=$(middle bareqt)
        adapter_frame=$(middle adapter)
        monitor_frame=$(middle monitor)
        figure instructions "per frame at 100/s, in-process adapter, $name" "$adapter_frame" "instr" \
            "bare Qt reader" "$bare_frame" "<= 1.2"
        figure instructions "per frame at 100/s, vexbusctl monitor, $name" "$monitor_frame" "instr" \
            "bare Qt reader" "$bare_frame" "<= 1.4"
        figure instructions "per frame at 100/s, bare Qt reader, $name" "$bare_frame" "instr" \
            "plain C reader" "$plain_frame" ""
        rm -f "$out"/frame-*
    done
    unset QT_NO_GLIB
    # shellcheck disable=SC2086
    kill $frame_pids 2>/dev/null || true
    # shellcheck disable=SC2086
    wait $frame_pids 2>/dev/null || true
    receive_pids=

    # vexbusd under callgrind beside a reference on a second line, a frame
    # every 20 ms on each (one write a frame): with three clients on frame
    # sockets and the signal off, beside an adapter in a process of its
    # own; with three D-Bus clients of the signal, beside a bare Qt relay
    # that sends the same signal for each frame to three clients of its
    # own; with the MQTT bridge and one socket client, beside the adapter.
    for name in GLib Qt; do
        dispatcher "$name"
        run_service --count-instructions --socket-clients --frames 200 --goal "<= 2" \
            --reference adapter "$line" 2>> "$out/service-callgrind.log"
        run_service --count-instructions --frames 200 --reference relay "$bareqt" 2>> "$out/service-callgrind.log"
        if [ -x "$mosquitto" ]; then
            run_service --count-instructions --socket-clients --clients 1 --mqtt "$mosquitto" --frames 200 --goal "<= 3" \
                --reference adapter "$line" 2>> "$out/service-callgrind.log"
        fi
    done
    unset QT_NO_GLIB
else
    echo "valgrind is not installed: no instruction counts"
fi

{ echo "["; sed '$!s/$/,/' "$lines"; echo "]"; } > "$out/results.json"
rm -f "$lines" "$out/emulator.tty" "$out/responder.tty" "$out/callgrind.out" "$out/callgrind.err"
echo "figures written to $out/results.json"
