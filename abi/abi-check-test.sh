#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Tests abi-check.sh on doctored copies of the baseline, compared with the
# baseline itself (two dumps compare in a fraction of the time a library
# takes): a function the baseline has and the library lacks must fail the
# check, naming it, and so must a class that grew; a function the library
# has and the baseline lacks is an addition and must pass.
# Usage: abi-check-test.sh ABI-DIR BASELINE WORK-DIR
set -eu
abi_dir=$1
baseline=$2
work=$3

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"

# The function doctored: a public member function with its symbol.
symbol=_ZN15NivoraVexbusUsb12FirmwareData5clearEv
grep -q "<elf-symbol name='$symbol'" "$baseline" || fail "the baseline has no $symbol"
grep -q "elf-symbol-id='$symbol'" "$baseline" || fail "the baseline has no declaration of $symbol"

# The baseline with one more function, clearRows(), beside clear().
extra=_ZN15NivoraVexbusUsb12FirmwareData9clearRowsEv
awk -v symbol="$symbol" -v extra="$extra" '
    index($0, "<elf-symbol name=\x27" symbol "\x27") { print; line = $0; sub(symbol, extra, line); print line; next }
    index($0, "<function-decl") && index($0, "elf-symbol-id=\x27" symbol "\x27") { copying = 1; block = "" }
    copying { block = block $0 "\n" }
    copying && index($0, "</function-decl>") {
        copying = 0; printf "%s", block
        gsub(symbol, extra, block); gsub("name=\x27clear\x27", "name=\x27clearRows\x27", block); printf "%s", block
        next
    }
    !copying { print }
' "$baseline" >"$work/extra.abi"
grep -q "$extra" "$work/extra.abi" || fail "no function added to the baseline"

# The baseline without clear().
awk -v symbol="$symbol" '
    index($0, "<elf-symbol name=\x27" symbol "\x27") { next }
    index($0, "<function-decl") && index($0, "elf-symbol-id=\x27" symbol "\x27") { skipping = 1 }
    !skipping { print }
    skipping && index($0, "</function-decl>") { skipping = 0 }
' "$baseline" >"$work/missing.abi"
! grep -q "'$symbol'" "$work/missing.abi" || fail "clear() is still in the doctored baseline"

echo "== a function removed"
if sh "$abi_dir/abi-check.sh" "$work/extra.abi" "$baseline" >"$work/removed.out" 2>&1; then
    cat "$work/removed.out"
    fail "the check passed a removed function"
fi
grep -q "FirmwareData9clearRows\|FirmwareData::clearRows" "$work/removed.out" || { cat "$work/removed.out"; fail "the report does not name the removed function"; }
echo "ok: fails and names clearRows()"

echo "== a class grown"
# The library's FirmwareData larger than the baseline's.
sed "s/<class-decl name='FirmwareData' size-in-bits='\\([0-9]*\\)'/<class-decl name='FirmwareData' size-in-bits='1\\1'/" \
    "$baseline" >"$work/grown.abi"
! cmp -s "$baseline" "$work/grown.abi" || fail "FirmwareData's size is not in the baseline"
if sh "$abi_dir/abi-check.sh" "$baseline" "$work/grown.abi" >"$work/grown.out" 2>&1; then
    cat "$work/grown.out"
    fail "the check passed a class that grew"
fi
grep -q "class NivoraVexbusUsb::FirmwareData'" "$work/grown.out" && grep -q "type size changed" "$work/grown.out" \
    || { cat "$work/grown.out"; fail "the report does not name the class that grew"; }
echo "ok: fails and names FirmwareData's new size"

echo "== a function added"
sh "$abi_dir/abi-check.sh" "$work/missing.abi" "$baseline" >"$work/added.out" 2>&1 \
    || { cat "$work/added.out"; fail "the check refused an added function"; }
grep -q "FirmwareData::clear()" "$work/added.out" || { cat "$work/added.out"; fail "the report does not name the added function"; }
echo "ok: passes the added FirmwareData::clear()"
rm -rf "$work"
