// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef FUZZCHECK_H
#define FUZZCHECK_H

// What every fuzz target shares: its entry points, a check of an invariant
// that ends the run with a report (libFuzzer then keeps the input), and a
// quiet log, since the parsers warn about most random inputs.

#include <QByteArray>
#include <QDebug>
#include <QLoggingCategory>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

[[noreturn]] inline void fuzzCheckFailed(const char *file, int line, const char *condition)
{
    std::fprintf(stderr, "%s:%d: invariant does not hold: %s\n", file, line, condition);
    std::abort();
}

#define FUZZ_CHECK(condition) ((condition) ? void() : fuzzCheckFailed(__FILE__, __LINE__, #condition))

// Defines both entry points of a target whose body follows as a function
// of the input's bytes. The library's categories log at every level by
// default; a fuzz run would spend its time formatting warnings, so they are
// off, and code that formats values on its own (debug operators) is called
// directly by the targets through debugText().
#define FUZZ_TARGET(input) \
    static void fuzzOneInput(const QByteArray &input); \
    extern "C" int LLVMFuzzerInitialize(int *, char ***) { QLoggingCategory::setFilterRules(QStringLiteral("VexbusUsb*=false")); return 0; } \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) \
    { fuzzOneInput(QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(size))); return 0; } \
    static void fuzzOneInput(const QByteArray &input)

template<typename T>
QString debugText(const T &value)
{
    QString text;
    QDebug(&text) << value;
    return text;
}

#endif // FUZZCHECK_H
