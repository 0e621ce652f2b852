// SPDX-License-Identifier: MIT

// The formatter against the C library's snprintf, both writing into a
// bounded buffer, on a few representative formats.
#include <cstdio>

#include <benchmark/benchmark.h>

#include <lexspot/fmt.hpp>

namespace {

using lexspot::fmt_buffer;

char buffer[256];

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

template <typename... Args>
void run_fmt(benchmark::State &state, const char *format, Args... args) {
    for (auto _ : state) {
        int n = fmt_buffer(buffer, sizeof buffer, format, args...);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
}

template <typename... Args>
void run_snprintf(benchmark::State &state, const char *format, Args... args) {
    for (auto _ : state) {
        int n = std::snprintf(buffer, sizeof buffer, format, args...);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
}

#pragma GCC diagnostic pop

// The formats are passed through a volatile pointer so that neither side is
// specialised for a constant format at compile time.
const char *volatile int_format = "%d";
const char *volatile string_format = "%s";
const char *volatile field_format = "%-10s|%5d";
const char *volatile float_format = "%.3f";
const char *volatile literal_format = "a literal line of forty characters, no %%";

void BM_fmt_int(benchmark::State &state) {
    run_fmt(state, int_format, 1234567);
}
void BM_snprintf_int(benchmark::State &state) {
    run_snprintf(state, int_format, 1234567);
}
void BM_fmt_string(benchmark::State &state) {
    run_fmt(state, string_format, "hello, world");
}
void BM_snprintf_string(benchmark::State &state) {
    run_snprintf(state, string_format, "hello, world");
}
void BM_fmt_fields(benchmark::State &state) {
    run_fmt(state, field_format, "name", 42);
}
void BM_snprintf_fields(benchmark::State &state) {
    run_snprintf(state, field_format, "name", 42);
}
void BM_fmt_float(benchmark::State &state) {
    run_fmt(state, float_format, 3.14159265);
}
void BM_snprintf_float(benchmark::State &state) {
    run_snprintf(state, float_format, 3.14159265);
}
void BM_fmt_literal(benchmark::State &state) {
    run_fmt(state, literal_format);
}
void BM_snprintf_literal(benchmark::State &state) {
    run_snprintf(state, literal_format);
}

BENCHMARK(BM_fmt_int);
BENCHMARK(BM_snprintf_int);
BENCHMARK(BM_fmt_string);
BENCHMARK(BM_snprintf_string);
BENCHMARK(BM_fmt_fields);
BENCHMARK(BM_snprintf_fields);
BENCHMARK(BM_fmt_float);
BENCHMARK(BM_snprintf_float);
BENCHMARK(BM_fmt_literal);
BENCHMARK(BM_snprintf_literal);

} // namespace
