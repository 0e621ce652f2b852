// SPDX-License-Identifier: MIT

// A deliberately plain model of the text scans, positions and builders over
// std::string, shared by the unit tests and the fuzz target. It works from
// the definitions (what each search looks for, where a range lies) with the
// standard library's string searches, not from the module's loops, so an
// off-by-one in either shows up as a disagreement.
#pragma once

#include <cstdint>
#include <string>

namespace lexspot::text_model {

// The offset of position p in a text of n characters, or -1 when p names no gap.
inline int64_t offset(int64_t n, int64_t p) {
    int64_t o = p > 0 ? p - 1 : p + n;
    return o >= 0 && o <= n ? o : -1;
}

// The characters at offsets lo..hi - 1.
inline std::string range(const std::string &s, int64_t lo, int64_t hi) {
    return s.substr(static_cast<size_t>(lo), static_cast<size_t>(hi - lo));
}

// A search result: the position in s of offset k within the range, or 0.
inline int at(int64_t lo, size_t k) {
    return k == std::string::npos ? 0 : static_cast<int>(lo + static_cast<int64_t>(k) + 1);
}

inline int find_char(const std::string &s, int64_t lo, int64_t hi, int c) {
    if (c < -128 || c > 127)
        return 0;
    return at(lo, range(s, lo, hi).find(static_cast<char>(c)));
}

inline int rfind_char(const std::string &s, int64_t lo, int64_t hi, int c) {
    if (c < -128 || c > 127)
        return 0;
    return at(lo, range(s, lo, hi).rfind(static_cast<char>(c)));
}

inline int find_in_set(const std::string &s, int64_t lo, int64_t hi, const std::string &set) {
    return at(lo, range(s, lo, hi).find_first_of(set));
}

inline int rfind_in_set(const std::string &s, int64_t lo, int64_t hi, const std::string &set) {
    return at(lo, range(s, lo, hi).find_last_of(set));
}

inline int step_in_set(const std::string &s, int64_t off, const std::string &set) {
    if (off == static_cast<int64_t>(s.size()))
        return 0;
    return set.find(s[static_cast<size_t>(off)]) == std::string::npos ? 0
                                                                      : static_cast<int>(off + 2);
}

// The run of members that starts the range ends at its first non-member.
inline int span_set(const std::string &s, int64_t lo, int64_t hi, const std::string &set) {
    std::string r = range(s, lo, hi);
    size_t end = r.find_first_not_of(set);
    if (end == std::string::npos)
        end = r.size();
    return end == 0 ? 0 : static_cast<int>(lo + static_cast<int64_t>(end) + 1);
}

// The run of members that ends the range starts after its last non-member.
inline int rspan_set(const std::string &s, int64_t lo, int64_t hi, const std::string &set) {
    std::string r = range(s, lo, hi);
    size_t last = r.find_last_not_of(set);
    size_t start = last == std::string::npos ? 0 : last + 1;
    return start == r.size() ? 0 : static_cast<int>(lo + static_cast<int64_t>(start) + 1);
}

inline int find_text(const std::string &s, int64_t lo, int64_t hi, const std::string &p) {
    return at(lo, range(s, lo, hi).find(p));
}

inline int rfind_text(const std::string &s, int64_t lo, int64_t hi, const std::string &p) {
    return at(lo, range(s, lo, hi).rfind(p));
}

inline int prefix_at(const std::string &s, int64_t lo, int64_t hi, const std::string &p) {
    return range(s, lo, hi).starts_with(p) ? static_cast<int>(lo + std::ssize(p) + 1) : 0;
}

inline int suffix_at(const std::string &s, int64_t lo, int64_t hi, const std::string &p) {
    return range(s, lo, hi).ends_with(p) ? static_cast<int>(hi - std::ssize(p) + 1) : 0;
}

// -1, 0 or 1 as a sorts before, equal to or after b by unsigned bytes.
inline int compare_sign(const std::string &a, const std::string &b) {
    size_t m = a.size() < b.size() ? a.size() : b.size();
    for (size_t k = 0; k < m; ++k) {
        auto x = static_cast<unsigned char>(a[k]);
        auto y = static_cast<unsigned char>(b[k]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

inline std::string repeat(const std::string &s, int n) {
    std::string r;
    for (int k = 0; k < n; ++k)
        r += s;
    return r;
}

inline std::string reversed(const std::string &s) {
    return std::string(s.rbegin(), s.rend());
}

// The map a build from `from` and `to` (equal lengths) makes.
struct Map {
    unsigned char to[256];
};

inline Map identity_map() {
    Map m{};
    for (int k = 0; k < 256; ++k)
        m.to[k] = static_cast<unsigned char>(k);
    return m;
}

inline Map build_map(const std::string &from, const std::string &to) {
    Map m = identity_map();
    for (size_t k = 0; k < from.size(); ++k)
        m.to[static_cast<unsigned char>(from[k])] = static_cast<unsigned char>(to[k]);
    return m;
}

inline std::string translate(const std::string &s, const Map &m) {
    std::string r;
    for (char c : s)
        r += static_cast<char>(m.to[static_cast<unsigned char>(c)]);
    return r;
}

} // namespace lexspot::text_model
