#!/bin/sh
# Builds nivora-demo against the library installed in PREFIX and runs it:
# once on this machine, and once on a mocked adapter (umockdev), so that the
# demo shows an adapter also where none is plugged in.
# Usage: run-demo.sh PREFIX BUILD-DIR   (BUILD-DIR: the library's build tree)
set -eu
prefix=$1
library_build_dir=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
demo_build_dir=$root/build/demo

# Build with the compiler that built the library.
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$library_build_dir/CMakeCache.txt" 2>/dev/null || true)
# The package is looked up afresh each time, in case PREFIX changed.
cmake -S "$root/tools/demo" -B "$demo_build_dir" -UNivoraVexbusUsb_DIR -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF ${compiler:+-DCMAKE_CXX_COMPILER="$compiler"} >/dev/null
cmake --build "$demo_build_dir"

# The library logs every category at debug level by default; keep the demo's
# output to its own lines unless the caller chose other rules.
QT_LOGGING_RULES=${QT_LOGGING_RULES:-VexbusUsb*.debug=false}
export QT_LOGGING_RULES

echo "== Adapters on this machine"
"$demo_build_dir/nivora-demo"

if command -v umockdev-run >/dev/null 2>&1; then
    echo
    echo "== Adapters on a mocked platform (umockdev, one FTDI adapter, no hardware)"
    umockdev-run --device "$root/tools/demo/mocked-adapter.umockdev" -- "$demo_build_dir/nivora-demo"
fi
