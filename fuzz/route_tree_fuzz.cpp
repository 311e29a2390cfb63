// Fuzz target for the route pattern tree: random inserts, then random lookups.
//
// Input: lines. "?text" is a lookup text; "*Ntext" is text repeated (N % 64) * 64 times
// (then read as a line itself), to reach deep trees and long texts; any other line is a
// pattern to insert. Checks after every insert:
//  - twin trees: one gets every pattern, the other only the accepted ones; both must
//    accept the same patterns and give the same lookups, so a refused insert leaves no
//    trace;
//  - re-inserting an accepted pattern is a Conflict;
//  - a match is sound: its parameters are non-empty slices of the text, named as in the
//    matched pattern, and putting them back into the pattern gives the text;
//  - an accepted pattern with no parameters matches its own text, with no parameters;
//  - values are released exactly once: on refusal at once, the rest with the tree.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "routing/route_tree.h"

using namespace calvenor::routing;

namespace {

int g_live = 0;

struct Val {
    int idx = -1;
    bool owns = false;
    explicit Val(int i) : idx(i), owns(true) { ++g_live; }
    Val(Val&& o) noexcept : idx(o.idx), owns(o.owns) { o.owns = false; }
    Val& operator=(Val&&) = delete;
    ~Val() {
        if (owns) --g_live;
    }
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}
#define ASSERT(c) \
    do {          \
        if (!(c)) fail(#c); \
    } while (0)

// An independent reading of a pattern: literal pieces around wildcard slots.
struct Slot {
    std::string name;
    bool catch_all;
};
struct Skeleton {
    std::vector<std::string> literals;  // slots.size() + 1 pieces
    std::vector<Slot> slots;
};

std::optional<Skeleton> parse(std::string_view p) {
    Skeleton s;
    s.literals.emplace_back();
    std::size_t i = 0;
    auto pair_at = [&](std::size_t k, char c) { return k + 1 < p.size() && p[k] == c && p[k + 1] == c; };
    while (i < p.size()) {
        if (pair_at(i, '{') || pair_at(i, '}')) {
            s.literals.back() += p[i];
            i += 2;
            continue;
        }
        if (p[i] == '}') return std::nullopt;
        if (p[i] != '{') {
            s.literals.back() += p[i++];
            continue;
        }
        std::string name;
        std::size_t j = i + 1;
        bool closed = false;
        while (j < p.size()) {
            if (pair_at(j, '}')) {
                name += '}';
                j += 2;
            } else if (p[j] == '}') {
                closed = true;
                ++j;
                break;
            } else if (pair_at(j, '{')) {
                name += '{';
                j += 2;
            } else {
                name += p[j++];
            }
        }
        if (!closed || name.empty()) return std::nullopt;
        bool catch_all = name[0] == '*';
        s.slots.push_back({catch_all ? name.substr(1) : name, catch_all});
        s.literals.emplace_back();
        i = j;
    }
    return s;
}

struct Result {
    int idx = -1;
    std::vector<std::pair<std::string, std::string>> params;
    bool operator==(const Result&) const = default;
};

Result lookup(const RouteTree<Val>& t, std::string_view text, const std::vector<std::string>& patterns) {
    Match<Val> m;
    Result r;
    if (!t.match(text, m)) {
        ASSERT(m.value == nullptr);
        return r;
    }
    r.idx = m.value->idx;
    ASSERT(r.idx >= 0 && static_cast<std::size_t>(r.idx) < patterns.size());

    const char* lo = text.data();
    const char* hi = text.data() + text.size();
    const char* last = lo;
    for (const Param& p : m.params) {
        ASSERT(!p.value.empty());
        ASSERT(p.value.data() >= last && p.value.data() + p.value.size() <= hi);
        last = p.value.data() + p.value.size();
        r.params.emplace_back(p.name, p.value);
    }

    // Soundness: the matched pattern, filled with the values, is the text.
    std::optional<Skeleton> sk = parse(patterns[static_cast<std::size_t>(r.idx)]);
    if (sk) {
        ASSERT(sk->slots.size() == m.params.size());
        std::string rebuilt = sk->literals[0];
        for (std::size_t i = 0; i < sk->slots.size(); ++i) {
            ASSERT(m.params[i].name == sk->slots[i].name);
            if (!sk->slots[i].catch_all) ASSERT(m.params[i].value.find('/') == std::string_view::npos);
            rebuilt += m.params[i].value;
            rebuilt += sk->literals[i + 1];
        }
        ASSERT(rebuilt == text);
    }
    return r;
}

std::vector<std::string> split_lines(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> lines;
    std::string cur;
    std::size_t total = 0;
    auto flush = [&] {
        if (cur.size() >= 2 && cur[0] == '*') {
            std::size_t n = (static_cast<unsigned char>(cur[1]) % 64) * 64;
            std::string piece = cur.substr(2), big;
            for (std::size_t i = 0; i < n && big.size() < 40000; ++i) big += piece;
            cur = std::move(big);
        }
        total += cur.size();
        if (lines.size() < 48 && total < 200000) lines.push_back(std::move(cur));
        cur.clear();
    };
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            flush();
        } else {
            cur += static_cast<char>(data[i]);
        }
    }
    flush();
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> patterns;
    std::vector<std::string> probes = {"", "/", "GET /", "GET /x"};
    for (std::string& line : split_lines(data, size)) {
        if (!line.empty() && line[0] == '?') {
            probes.push_back(line.substr(1));
            continue;
        }
        // A concrete text for the pattern, to probe routes with parameters too.
        if (std::optional<Skeleton> sk = parse(line)) {
            std::string text = sk->literals[0];
            for (std::size_t i = 0; i < sk->slots.size(); ++i) {
                text += sk->slots[i].catch_all ? "x/y" : "x";
                text += sk->literals[i + 1];
            }
            probes.push_back(std::move(text));
        }
        patterns.push_back(std::move(line));
    }

    {
        RouteTree<Val> all;   // sees every insert
        RouteTree<Val> good;  // sees only the accepted ones
        int accepted = 0;
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            const std::string& p = patterns[i];
            const int idx = static_cast<int>(i);
            InsertResult r = all.insert(p, Val(idx));
            if (r) {
                ASSERT(g_live == 2 * accepted);
                ASSERT(!r->message().empty());
                ASSERT((r->kind == InsertErrorKind::Conflict) || r->with.empty());
            } else {
                ++accepted;
                ASSERT(!good.insert(p, Val(idx)));
                ASSERT(g_live == 2 * accepted);

                InsertResult again = all.insert(p, Val(idx));
                ASSERT(again && again->kind == InsertErrorKind::Conflict);
                ASSERT(g_live == 2 * accepted);

                // A pattern without parameters matches its own text.
                std::optional<Skeleton> sk = parse(p);
                ASSERT(sk);
                if (sk->slots.empty()) {
                    Result own = lookup(all, sk->literals[0], patterns);
                    ASSERT(own.idx == idx && own.params.empty());
                }
            }
            for (const std::string& text : probes) {
                ASSERT(lookup(all, text, patterns) == lookup(good, text, patterns));
            }
        }
    }
    ASSERT(g_live == 0);
    return 0;
}
