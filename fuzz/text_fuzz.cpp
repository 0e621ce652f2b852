// SPDX-License-Identifier: MIT

// Drives a sequence of text operations chosen by the input bytes and checks
// every result against the model of tests/text_model.hpp: contents, the
// positions searches return, which calls must raise `assertion_failed`, and
// where string space is taken from (in place, at the allocation point, or at
// the start of a new chunk with 10240 bytes to spare). After every step each
// live Text must still hold what the model says, so a write into an existing
// Text, or a release that frees what a live Text uses, is caught.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "text_model.hpp"
#include <lexspot/assert.hpp>
#include <lexspot/mem.hpp>
#include <lexspot/text.hpp>

using namespace lexspot;
namespace model = lexspot::text_model;

namespace {

using fuzz::Input;

[[noreturn]] void fail(const char *what, int step) {
    fuzz::fail("text_fuzz", "%s at step %d", what, step);
}

// True when `f` raised `assertion_failed`; any other exception is a fault.
template <typename F>
bool asserts(F f) {
    const Exception *raised = fuzz::raised_by(f);
    if (raised != nullptr && raised != &assertion_failed)
        fail("an operation raised something other than assertion_failed", -1);
    return raised != nullptr;
}

std::string str(Text t) {
    return std::string(t.str, static_cast<size_t>(t.len));
}

struct Entry {
    Text text;
    std::string bytes; // what the model says it holds
    size_t depth;      // marks in force when it was made
};

// The map the module should now hold, and whether one was ever built. Both
// are process-wide in the module, so they persist across inputs here too.
model::Map expected_map = model::identity_map();
bool expected_map_set = false;

constexpr size_t pool_size = 24;
constexpr size_t largest = 1 << 16;

// Where the next take of n bytes must land: at the allocation point when it
// fits, else at the start of a new chunk.
struct Take {
    char *at;     // expected start, null when a new chunk is due
    int64_t room; // free bytes before the take
};

Take predict(int64_t n) {
    int64_t room = text_current_chunk->limit - text_current_chunk->avail;
    return {n <= room ? text_current_chunk->avail : nullptr, room};
}

// A take of n bytes that landed at `start` agrees with the prediction.
bool took_as_predicted(const Take &before, const char *start, int64_t n) {
    if (before.at != nullptr)
        return start == before.at && text_current_chunk->avail == before.at + n;
    return start == reinterpret_cast<char *>(text_current_chunk + 1) &&
           text_current_chunk->limit - text_current_chunk->avail == 10240 &&
           text_current_chunk->next == nullptr;
}

class Run {
  public:
    explicit Run(Input in) : in_(in) {}

    void go() {
        base_ = text_mark();
        for (step_ = 0; in_.more() && step_ < 400; ++step_) {
            one_step();
            check_pool();
        }
        text_release(&base_);
        for (TextMark *m : marks_)
            mem_release(m); // abandoned by the base release
        if (text_current_chunk != &text_head_chunk || text_head_chunk.next != nullptr)
            fail("space not empty after the base release", step_);
    }

  private:
    Entry &any() { return pool_[static_cast<size_t>(in_.below(static_cast<int>(pool_.size())))]; }

    void add(Text t, std::string bytes) {
        if (str(t) != bytes)
            fail("result differs from the model", step_);
        Entry e{t, std::move(bytes), marks_.size()};
        if (pool_.size() < pool_size)
            pool_.push_back(std::move(e));
        else
            pool_[static_cast<size_t>(in_.below(pool_size))] = std::move(e);
    }

    void check_pool() {
        for (const Entry &e : pool_)
            if (str(e.text) != e.bytes)
                fail("a live Text changed", step_);
        TextChunk *c = text_current_chunk;
        if (c->next != nullptr || c->avail > c->limit)
            fail("current chunk is not the last or is overfull", step_);
    }

    // A position name of a text of n characters, sometimes invalid.
    int name(int n) { return in_.below(2 * n + 5) - n - 2; }

    void one_step() {
        const int op = pool_.empty() ? in_.below(2) : in_.below(13);
        switch (op) {
        case 0: { // caller memory
            caller_.push_back(in_.bytes(32));
            add(text_wrap(caller_.back().data(), static_cast<int>(caller_.back().size())),
                caller_.back());
            break;
        }
        case 1: { // a copy of a C string
            std::string s = in_.bytes(in_.below(8) == 0 ? 255 : 16);
            s = s.substr(0, s.find('\0'));
            Take before = predict(static_cast<int64_t>(s.size()));
            Text t = text_from_cstr(s.c_str());
            if (!s.empty() && !took_as_predicted(before, t.str, t.len))
                fail("text_from_cstr took space elsewhere", step_);
            add(t, s);
            break;
        }
        case 2: { // slice, or a position, by any names
            const Entry &e = any();
            const int n = e.text.len;
            const int i = name(n);
            const int j = name(n);
            const int64_t a = model::offset(n, i);
            const int64_t b = model::offset(n, j);
            if (a < 0 || b < 0) {
                if (!asserts([&] { text_slice(e.text, i, j); }))
                    fail("slice of an invalid position did not raise", step_);
                if (a < 0 && !asserts([&] { text_position(e.text, i); }))
                    fail("invalid position did not raise", step_);
                break;
            }
            if (text_position(e.text, i) != a + 1)
                fail("text_position", step_);
            const int64_t lo = a < b ? a : b;
            Text t = text_slice(e.text, i, j);
            if (t.str != e.text.str + lo)
                fail("slice does not share its characters", step_);
            add(t, model::range(e.bytes, lo, a < b ? b : a));
            break;
        }
        case 3:
        case 4: concat(op == 3); break;
        case 5: {
            Entry e = any();
            const int n = in_.below(6);
            if (e.bytes.size() * static_cast<size_t>(n) > largest)
                break;
            repeat(e, n);
            break;
        }
        case 6: {
            const Entry &e = any();
            add(text_reversed(e.text), model::reversed(e.bytes));
            break;
        }
        case 7: translate(); break;
        case 8: {
            const Entry &a = any();
            const Entry &b = any();
            const int r = text_compare(a.text, b.text);
            if ((r > 0) - (r < 0) != model::compare_sign(a.bytes, b.bytes))
                fail("text_compare", step_);
            break;
        }
        case 9: search(); break;
        case 10:
            if (marks_.size() < 8)
                marks_.push_back(text_mark());
            break;
        case 11: release(); break;
        default: { // copying out
            const Entry &e = any();
            char *block = text_to_cstr(nullptr, 0, e.text);
            bool same = std::memcmp(block, e.bytes.data(), e.bytes.size()) == 0 &&
                        block[e.bytes.size()] == '\0';
            mem_release(block);
            std::vector<char> buf(e.bytes.size() + 1);
            const int size = static_cast<int>(buf.size());
            if (!asserts([&] { text_to_cstr(buf.data(), size - 1, e.text); }))
                fail("text_to_cstr into a short buffer did not raise", step_);
            text_to_cstr(buf.data(), size, e.text);
            if (!same || std::memcmp(buf.data(), e.bytes.data(), buf.size()) != 0)
                fail("text_to_cstr", step_);
            break;
        }
        }
    }

    void concat(bool from_latest) {
        Entry e1 = from_latest ? pool_.back() : any();
        Entry e2 = any();
        if (in_.below(3) == 0) { // two adjacent halves of one Text
            const int n = e1.text.len;
            const int cut = in_.below(n + 1);
            e2.text = text_slice(e1.text, cut + 1, 0);
            e2.bytes = e1.bytes.substr(static_cast<size_t>(cut));
            e1.text = text_slice(e1.text, 1, cut - n);
            e1.bytes.resize(static_cast<size_t>(cut));
        }
        if (e1.bytes.size() + e2.bytes.size() > largest)
            return;
        const Text s1 = e1.text;
        const Text s2 = e2.text;
        const bool in_place =
            text_current_chunk->avail != nullptr && s1.str + s1.len == text_current_chunk->avail;
        const Take before = predict(s2.len);
        const Take whole = predict(static_cast<int64_t>(s1.len) + s2.len);
        Text r = text_concat(s1, s2);
        if (s1.len == 0) {
            if (r.str != s2.str || r.len != s2.len)
                fail("concat with an empty left operand", step_);
        } else if (s2.len == 0) {
            if (r.str != s1.str || r.len != s1.len)
                fail("concat with an empty right operand", step_);
        } else if (s1.str + s1.len == s2.str) {
            if (r.str != s1.str)
                fail("concat of adjacent operands copied", step_);
        } else if (in_place && before.at != nullptr) {
            if (r.str != s1.str || !took_as_predicted(before, s1.str + s1.len, s2.len))
                fail("concat did not extend in place", step_);
        } else if (!took_as_predicted(whole, r.str, r.len)) {
            fail("concat took space elsewhere", step_);
        }
        add(r, e1.bytes + e2.bytes);
    }

    void repeat(const Entry &e, int n) {
        const Text s = e.text;
        const bool in_place =
            text_current_chunk->avail != nullptr && s.str + s.len == text_current_chunk->avail;
        const int64_t total = static_cast<int64_t>(s.len) * n;
        const Take further = predict(total - s.len);
        const Take whole = predict(total);
        Text r = text_repeat(s, n);
        if (total == 0) {
            if (r.str != text_none.str || r.len != 0)
                fail("empty repetition", step_);
        } else if (n == 1) {
            if (r.str != s.str)
                fail("single repetition copied", step_);
        } else if (in_place && further.at != nullptr) {
            if (r.str != s.str || !took_as_predicted(further, s.str + s.len, total - s.len))
                fail("repetition did not extend in place", step_);
        } else if (!took_as_predicted(whole, r.str, total)) {
            fail("repetition took space elsewhere", step_);
        }
        add(r, model::repeat(e.bytes, n));
    }

    void translate() {
        const Entry &e = any();
        switch (in_.below(4)) {
        case 0: { // reuse the last map
            Text r{};
            if (asserts([&] { r = text_translate(e.text, nullptr, nullptr); })) {
                if (expected_map_set)
                    fail("translation with the last map raised", step_);
                return;
            }
            if (!expected_map_set)
                fail("translation without any map did not raise", step_);
            add(r, model::translate(e.bytes, expected_map));
            return;
        }
        case 1: { // exactly one map Text
            const Text *from = in_.below(2) ? &e.text : nullptr;
            const Text *to = from == nullptr ? &e.text : nullptr;
            if (!asserts([&] { text_translate(e.text, from, to); }))
                fail("translation with one map Text did not raise", step_);
            return;
        }
        default: { // a new map, of equal lengths or not
            std::string from = in_.bytes(12);
            std::string to = in_.bytes(12);
            if (in_.below(4) != 0)
                to.resize(from.size(), 'q');
            const Text f = text_wrap(from.data(), static_cast<int>(from.size()));
            const Text g = text_wrap(to.data(), static_cast<int>(to.size()));
            Text r{};
            if (asserts([&] { r = text_translate(e.text, &f, &g); })) {
                if (from.size() == to.size())
                    fail("translation with a valid map raised", step_);
                expected_map = model::identity_map();
                return;
            }
            if (from.size() != to.size())
                fail("maps of different lengths did not raise", step_);
            expected_map = model::build_map(from, to);
            expected_map_set = true;
            add(r, model::translate(e.bytes, expected_map));
            return;
        }
        }
    }

    void search() {
        const Entry &e = any();
        const Entry &x = any();
        const int n = e.text.len;
        const int i = name(n);
        const int j = name(n);
        const int which = in_.below(11);
        // Now and then a character outside -128..127, which matches nothing.
        const int c = static_cast<int8_t>(in_.byte()) + (in_.below(8) == 0 ? 256 : 0);
        const int64_t a = model::offset(n, i);
        const int64_t b = model::offset(n, j);
        const Text s = e.text;
        const Text t = x.text;
        if (which == 10) {
            if (a < 0) {
                if (!asserts([&] { text_step_in_set(s, i, t); }))
                    fail("step_in_set at an invalid position did not raise", step_);
            } else if (text_step_in_set(s, i, t) != model::step_in_set(e.bytes, a, x.bytes)) {
                fail("text_step_in_set", step_);
            }
            return;
        }
        int got = 0;
        const bool raised = asserts([&] {
            switch (which) {
            case 0: got = text_find_char(s, i, j, c); break;
            case 1: got = text_rfind_char(s, i, j, c); break;
            case 2: got = text_find_in_set(s, i, j, t); break;
            case 3: got = text_rfind_in_set(s, i, j, t); break;
            case 4: got = text_span_set(s, i, j, t); break;
            case 5: got = text_rspan_set(s, i, j, t); break;
            case 6: got = text_find_text(s, i, j, t); break;
            case 7: got = text_rfind_text(s, i, j, t); break;
            case 8: got = text_prefix_at(s, i, j, t); break;
            default: got = text_suffix_at(s, i, j, t); break;
            }
        });
        if (a < 0 || b < 0) {
            if (!raised)
                fail("search over an invalid range did not raise", step_);
            return;
        }
        if (raised)
            fail("search over a valid range raised", step_);
        const int64_t lo = a < b ? a : b;
        const int64_t hi = a < b ? b : a;
        const std::string &m = e.bytes;
        const std::string &y = x.bytes;
        int expected = 0;
        switch (which) {
        case 0: expected = model::find_char(m, lo, hi, c); break;
        case 1: expected = model::rfind_char(m, lo, hi, c); break;
        case 2: expected = model::find_in_set(m, lo, hi, y); break;
        case 3: expected = model::rfind_in_set(m, lo, hi, y); break;
        case 4: expected = model::span_set(m, lo, hi, y); break;
        case 5: expected = model::rspan_set(m, lo, hi, y); break;
        case 6: expected = model::find_text(m, lo, hi, y); break;
        case 7: expected = model::rfind_text(m, lo, hi, y); break;
        case 8: expected = model::prefix_at(m, lo, hi, y); break;
        default: expected = model::suffix_at(m, lo, hi, y); break;
        }
        if (got != expected)
            fail("search result differs from the model", step_);
    }

    // Releases one of the marks; those taken after it are abandoned, and so
    // is every Text made while it was in force.
    void release() {
        if (marks_.empty())
            return;
        const size_t d = static_cast<size_t>(in_.below(static_cast<int>(marks_.size())));
        TextChunk *chunk = marks_[d]->chunk;
        char *avail = marks_[d]->avail;
        text_release(&marks_[d]);
        if (marks_[d] != nullptr || text_current_chunk != chunk || chunk->avail != avail ||
            chunk->next != nullptr)
            fail("release did not return to the mark", step_);
        if (!asserts([&] { text_release(&marks_[d]); }))
            fail("second release did not raise", step_);
        for (size_t k = d + 1; k < marks_.size(); ++k)
            mem_release(marks_[k]);
        marks_.resize(d);
        std::erase_if(pool_, [&](const Entry &e) { return e.depth > d; });
    }

    Input in_;
    int step_ = 0;
    TextMark *base_ = nullptr;
    std::vector<TextMark *> marks_;
    std::vector<Entry> pool_;
    std::deque<std::string> caller_; // owns the characters of wrapped Texts
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Run(Input{data, size}).go();
    return 0;
}
