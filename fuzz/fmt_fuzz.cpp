// SPDX-License-Identifier: MIT

// Builds a format from the input, literal text and directives with any
// flags, width, precision, `*`, the standard conversions, unknown ones and a
// format cut off inside a directive, with arguments to match, and runs it
// into a bounded buffer of a chosen size and into a growing string.
//
// Each directive's output is predicted with snprintf, on the terms of
// tests/fmt_model.hpp where this formatter means to differ. The bounded
// buffer is an exact heap block, so a write past it is caught; it must raise
// `format_overflow` exactly when the text and its NUL do not fit, and hold
// the text's first `size` characters then. A directive the engine or its
// routine refuses must raise `assertion_failed` after the output before it.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fmt_model.hpp"
#include "fuzz_support.hpp"
#include <lexspot/assert.hpp>
#include <lexspot/fmt.hpp>
#include <lexspot/mem.hpp>

using namespace lexspot;
using lexspot::fuzz::Input;
using lexspot::fuzz::raised_by;
namespace model = lexspot::fmt_model;

namespace {

#define FAIL(...) lexspot::fuzz::fail("fmt_fuzz", __VA_ARGS__)

// An argument: every int-sized one (`*`, c, d, u, o, x) goes as an int, the
// pointers (s, p) as const char *, and the floating ones as a double.
struct Arg {
    enum Kind { Int, Double, Pointer } kind;
    int i = 0;
    double d = 0;
    const char *p = nullptr;
};

constexpr size_t max_args = 6;

// Calls f with the arguments of `args` as real arguments, types and all.
template <typename F, typename... A>
void with_args(const std::vector<Arg> &args, size_t k, F &f, A... a) {
    if constexpr (sizeof...(A) >= max_args) {
        f(a...);
    } else {
        if (k == args.size()) {
            f(a...);
            return;
        }
        switch (args[k].kind) {
        case Arg::Int: with_args(args, k + 1, f, a..., args[k].i); break;
        case Arg::Double: with_args(args, k + 1, f, a..., args[k].d); break;
        default: with_args(args, k + 1, f, a..., args[k].p); break;
        }
    }
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// snprintf of one directive with its `*` arguments and value, as a string.
template <typename T>
std::string c_format(const std::string &directive, const std::vector<int> &stars, T value) {
    const char *f = directive.c_str();
    auto run = [&](char *buf, size_t size) {
        switch (stars.size()) {
        case 0: return std::snprintf(buf, size, f, value);
        case 1: return std::snprintf(buf, size, f, stars[0], value);
        default: return std::snprintf(buf, size, f, stars[0], stars[1], value);
        }
    };
    const int n = run(nullptr, 0);
    std::string out(static_cast<size_t>(n) + 1, '\0');
    run(out.data(), out.size());
    out.resize(static_cast<size_t>(n));
    return out;
}
#pragma GCC diagnostic pop

const char *const strings[] = {
    "", "a", "hello", "a string longer than most fields", "\x80\xff high bytes", "tab\there"};

// One directive as the fuzzer chose it, with what it must produce.
struct Directive {
    std::string text;      // as it appears in the format
    std::vector<Arg> args; // in order
    bool refused = false;  // raises `assertion_failed`
    std::string output;    // otherwise
};

class Builder {
  public:
    explicit Builder(Input &in) : in_(in) {}

    // A directive that takes at most `room` arguments; `last` allows one cut
    // off by the end of the format.
    Directive directive(size_t room, bool last) {
        Directive d;
        d.text = "%";
        std::string flags;
        if (in_.chance(40)) { // a flag at or past the largest count
            const char f = "-+ 0"[in_.below(4)];
            flags.assign(in_.chance(2) ? 255 : 256, f);
        } else {
            for (int k = in_.below(6); k > 0; --k)
                flags += "-+ 0"[in_.below(4)];
        }
        d.text += flags;
        bool refused = flags.size() > 255;

        // Width: none, digits, `*`, or digits beyond INT_MAX.
        std::vector<int> stars;
        std::string width; // as printf is to be given it
        switch (in_.below(room >= 2 ? 5 : 4)) {
        case 0:
        case 1: break;
        case 2:
            width = std::to_string(1 + in_.below(300));
            d.text += width;
            break;
        case 3:
            if (in_.chance(30)) {
                d.text += in_.chance(2) ? "2147483648" : "99999999999";
                refused = true;
            }
            break;
        default: {
            const int w = in_.chance(30) ? INT_MIN : in_.below(601) - 300;
            d.text += "*";
            width = "*";
            d.args.push_back({Arg::Int, w});
            stars.push_back(w);
            refused = refused || w == INT_MIN;
            break;
        }
        }

        // Precision: none, a lone `.`, digits (leading zeros too), `*`, or
        // digits beyond INT_MAX.
        std::string precision; // as printf is to be given it; none for a lone `.`
        switch (in_.below(room - d.args.size() >= 2 ? 6 : 5)) {
        case 0:
        case 1: break;
        case 2: d.text += "."; break;
        case 3: {
            precision = "." + std::to_string(in_.below(in_.chance(3) ? 130 : 12));
            d.text +=
                "." + std::string(static_cast<size_t>(in_.below(3)), '0') + precision.substr(1);
            break;
        }
        case 4:
            if (in_.chance(30)) {
                d.text += ".2147483648";
                refused = true;
            }
            break;
        default: {
            const int p = in_.chance(30) ? INT_MIN : in_.below(161) - 30;
            d.text += ".*";
            precision = ".*";
            d.args.push_back({Arg::Int, p});
            stars.push_back(p);
            refused = refused || p == INT_MIN;
            break;
        }
        }

        // The conversion: mostly a standard one.
        char conv;
        if (last && in_.chance(12)) {
            conv = '\0'; // the format ends inside the directive
        } else if (in_.chance(12)) {
            static const char unknown[] = "%XEG#lhnqz\x80\xff";
            conv = unknown[in_.below(sizeof unknown - 1)];
            if (conv == '%' && d.text == "%")
                conv = 'X'; // "%%" is a literal percent sign
        } else {
            conv = model::standard_conversions[in_.below(10)];
        }
        if (conv != '\0')
            d.text += conv;
        if (refused || std::strchr(model::standard_conversions, conv) == nullptr || conv == '\0') {
            d.refused = true;
            return d;
        }
        value(d, conv, flags, stars, width, precision);
        return d;
    }

  private:
    // The argument of the conversion and its output. The printf directive
    // that must print the same has the flags of the known differences and
    // a lone `.` left out; the rest of the differences are handled here.
    void value(Directive &d, char conv, const std::string &flags, const std::vector<int> &stars,
               const std::string &width, const std::string &precision_text) {
        std::string f = "%";
        for (char c : flags)
            if (!model::flag_unlike_printf(conv, c))
                f += c;
        f += width;
        const std::string all_flags = "%" + flags + width; // for the signed layout
        const bool width_star = width == "*";
        const bool signs = std::strchr(model::flags_unlike_printf(conv), '+') != nullptr &&
                           flags.find_first_of("+ ") != std::string::npos;
        const std::vector<int> width_stars(stars.begin(), stars.begin() + (width_star ? 1 : 0));
        const std::vector<int> precision_stars(stars.begin() + (width_star ? 1 : 0), stars.end());
        switch (conv) {
        case 'c':
        case 'd': {
            const int v = in_.chance(4) ? INT_MIN + in_.below(3) : static_cast<int>(in_.u64());
            d.args.push_back({Arg::Int, v});
            d.output = c_format(f + precision_text + conv, stars, v);
            return;
        }
        case 'p': { // no precision, and the digits of `lx`
            const uint64_t v = in_.u64() >> in_.below(64);
            d.args.push_back({Arg::Pointer, 0, 0, reinterpret_cast<const char *>(v)});
            const auto lv = static_cast<unsigned long>(v);
            d.output = signs ? signed_layout(all_flags, width_stars, false, c_format("%lx", {}, lv))
                             : c_format(f + "lx", width_stars, lv);
            return;
        }
        case 'u':
        case 'o':
        case 'x': {
            const auto v = static_cast<unsigned>(in_.u64() >> in_.below(64));
            d.args.push_back({Arg::Int, static_cast<int>(v)});
            const std::string c(1, conv);
            if (!signs) {
                d.output = c_format(f + precision_text + c, stars, v);
                return;
            }
            const std::string digits = c_format("%" + precision_text + c, precision_stars, v);
            const bool precise =
                !precision_text.empty() && (precision_text != ".*" || precision_stars.back() >= 0);
            d.output = signed_layout(all_flags, width_stars, precise, digits);
            return;
        }
        case 's': {
            if (in_.chance(40)) {
                d.args.push_back({Arg::Pointer, 0, 0, nullptr});
                d.refused = true;
                return;
            }
            const char *s = strings[in_.below(6)];
            d.args.push_back({Arg::Pointer, 0, 0, s});
            d.output = c_format(f + precision_text + "s", stars, s);
            return;
        }
        default: { // e, f, g
            double v;
            if (in_.chance(2)) {
                const uint64_t bits = in_.u64();
                std::memcpy(&v, &bits, sizeof v);
            } else {
                static const double nice[] = {0.0,     -0.0,     0.5,       1.5,        -2.5,
                                              3.14159, 1e-5,     1e15,      123456.789, 1e300,
                                              -1e-300, INFINITY, -INFINITY, NAN};
                v = nice[in_.below(14)];
            }
            d.args.push_back({Arg::Double, 0, v});
            int p = 6;
            if (precision_text == ".*")
                p = precision_stars.back() < 0 ? 6 : precision_stars.back();
            else if (!precision_text.empty())
                p = std::stoi(precision_text.substr(1));
            if (p > model::largest_float_precision) {
                d.refused = true;
                return;
            }
            d.output = c_format(f + precision_text + conv, stars, v);
            return;
        }
        }
    }

    // `digits` placed as printf's `d` places a non-negative number of as many
    // digits under the same flags and width, with a precision of that many
    // digits when `precise` (which only switches the `0` flag off): how the
    // `+` and space flags sign the unsigned numerals here.
    static std::string signed_layout(const std::string &f, const std::vector<int> &width_stars,
                                     bool precise, const std::string &digits) {
        const size_t n = digits.size();
        std::string out =
            precise ? c_format(f + "." + std::to_string(n) + "lld", width_stars, n == 0 ? 0LL : 1LL)
                    : c_format(f + "lld", width_stars, std::stoll("1" + std::string(n - 1, '0')));
        if (n == 0)
            return out;
        const size_t end = out.find_last_not_of(' ') + 1;
        out.replace(end - n, n, digits);
        return out;
    }

    Input &in_;
};

class Run {
  public:
    explicit Run(Input &in) : in_(in) {}

    void go() {
        Builder b(in_);
        std::string format;
        std::string expected;
        bool refused = false;
        std::vector<Arg> args;
        for (int items = 1 + in_.below(8); items > 0 && !refused; --items) {
            switch (in_.below(4)) {
            case 0: { // literal text, never a `%` or a NUL
                std::string t = in_.bytes(12);
                for (char &c : t)
                    if (c == '%' || c == '\0')
                        c = '.';
                format += t;
                expected += t;
                break;
            }
            case 1:
                format += "%%";
                expected += "%";
                break;
            default: {
                if (args.size() + 3 > max_args)
                    break;
                Directive d = b.directive(max_args - args.size(), items == 1);
                format += d.text;
                args.insert(args.end(), d.args.begin(), d.args.end());
                if (d.refused)
                    refused = true; // nothing after it is interpreted
                else
                    expected += d.output;
                break;
            }
            }
        }
        bounded(format, args, expected, refused);
        growing(format, args, expected, refused);
    }

  private:
    void bounded(const std::string &format, const std::vector<Arg> &args,
                 const std::string &expected, bool refused) {
        const int len = static_cast<int>(expected.size());
        int size;
        switch (in_.below(4)) {
        case 0: size = len + 1; break;           // just fits
        case 1: size = len > 0 ? len : 1; break; // the NUL does not fit
        default: size = 1 + in_.below(len + 8); break;
        }
        // An exact heap block: a store past it is an AddressSanitizer report.
        auto *buf = new char[static_cast<size_t>(size)];
        std::memset(buf, 0x7e, static_cast<size_t>(size));
        int returned = -1;
        auto call = [&](auto... a) { returned = fmt_buffer(buf, size, format.c_str(), a...); };
        const Exception *e = raised_by([&] { with_args(args, 0, call); });
        // What must have reached the buffer, and the raise.
        const Exception *want;
        int stored;
        if (len > size || (!refused && len == size)) {
            want = &format_overflow;
            stored = size;
        } else {
            want = refused ? &assertion_failed : nullptr;
            stored = refused ? len : len + 1;
        }
        const std::string with_nul = expected + '\0';
        if (e != want)
            FAIL("fmt_buffer of \"%s\" into %d bytes raised %s, expected %s (output \"%s\")",
                 format.c_str(), size, e ? e->reason : "nothing", want ? want->reason : "nothing",
                 expected.c_str());
        if (std::memcmp(buf, with_nul.data(), static_cast<size_t>(stored)) != 0)
            FAIL("fmt_buffer of \"%s\" into %d bytes stored \"%.*s\", expected \"%s\"",
                 format.c_str(), size, stored, buf, expected.c_str());
        for (int k = stored; k < size; ++k)
            if (buf[k] != 0x7e)
                FAIL("fmt_buffer of \"%s\" wrote past its output at %d", format.c_str(), k);
        if (want == nullptr && returned != len)
            FAIL("fmt_buffer of \"%s\" returned %d, expected %d", format.c_str(), returned, len);
        delete[] buf;
    }

    void growing(const std::string &format, const std::vector<Arg> &args,
                 const std::string &expected, bool refused) {
        char *s = nullptr;
        auto call = [&](auto... a) { s = fmt_alloc(format.c_str(), a...); };
        const Exception *e = raised_by([&] { with_args(args, 0, call); });
        if (e != (refused ? &assertion_failed : nullptr))
            FAIL("fmt_alloc of \"%s\" raised %s", format.c_str(), e ? e->reason : "nothing");
        if (refused)
            return;
        if (std::memcmp(s, expected.c_str(), expected.size() + 1) != 0)
            FAIL("fmt_alloc of \"%s\" gave \"%s\", expected \"%s\"", format.c_str(), s,
                 expected.c_str());
        mem_release(s);
    }

    Input &in_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, size};
    Run(in).go();
    return 0;
}
