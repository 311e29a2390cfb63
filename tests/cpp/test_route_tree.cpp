#include "check.h"

#include <string>
#include <vector>

#include "routing/route_tree.h"

using calvenor::routing::InsertResult;
using calvenor::routing::Match;
using calvenor::routing::RouteTree;

namespace {

// Each route's value is its own pattern, so a lookup can say which route it found.
using Tree = RouteTree<std::string>;

Tree build(const std::vector<const char*>& routes) {
    Tree t;
    for (const char* r : routes) {
        InsertResult res = t.insert(r, r);
        if (res) std::fprintf(stderr, "  setup route %s refused: %s\n", r, res->message().c_str());
        CHECK(!res);
    }
    return t;
}

// "route name=value ..." or "none".
std::string lookup(const Tree& t, std::string_view text) {
    Match<std::string> m;
    if (!t.match(text, m)) return m.value == nullptr ? "none" : "none, but value set";
    std::string out = *m.value;
    for (const auto& p : m.params) {
        out += ' ';
        out += p.name;
        out += '=';
        out += p.value;
    }
    return out;
}

std::string outcome(const InsertResult& r) {
    if (!r) return "ok";
    return r->message();
}

std::string many_params(int n, const char* extra = "") {
    std::string p = "GET ";
    for (int i = 1; i <= n; ++i) p += "/{p" + std::to_string(i) + "}";
    return p + extra;
}

struct InsertCase {
    const char* what;
    std::vector<const char*> before;
    std::string pattern;
    const char* expect;  // "ok" or the message
};

#define CONFLICT "Insertion failed due to conflict with previously registered route: "
#define NAME "Parameters must be registered with a valid name"

// Orders of checks and outcomes that the Python tests do not reach.
const std::vector<InsertCase> kInserts = {
    {"conflict names the route stored at the node", {"GET /u/{id}/posts", "GET /u/{uid}"}, "GET /u/{x}",
     CONFLICT "GET /u/{uid}"},
    {"same route under another method is fine", {"GET /a"}, "POST /a", "ok"},
    {"25 parameters and a catch-all", {}, many_params(25, "/{*r}"), "ok"},
    {"26 parameters", {}, many_params(26), "Too many route parameters."},
    {"26 parameters win over a later syntax error", {}, many_params(26, "/{"), "Too many route parameters."},
    {"a syntax error before the 26th parameter wins", {}, "GET /{}" + many_params(26), NAME},
};

TEST(route_tree_insert_outcomes) {
    for (const InsertCase& c : kInserts) {
        Tree t = build(c.before);
        std::string got = outcome(t.insert(c.pattern, c.pattern));
        if (got != c.expect) std::fprintf(stderr, "  in: %s\n", c.what);
        CHECK_EQ(got, std::string(c.expect));
    }
}

TEST(route_tree_a_reused_match_forgets_earlier_parameters) {
    Tree t = build({"GET /{a}/{b}/{c}", "GET /{a}/{b}/{c}/{d}"});
    Match<std::string> m;
    CHECK(t.match("GET /1/2/3/4", m));
    CHECK(t.match("GET /1/2/3", m));
    CHECK_EQ(m.params.size(), 3u);
    CHECK(!t.match("GET /1/2/3/4/5", m));  // a miss after partial progress leaves nothing behind
    CHECK(m.params.empty() && m.value == nullptr);
}

std::string repeat(std::string_view s, int n) {
    std::string out;
    out.reserve(s.size() * static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST(route_tree_deep_tree_with_a_wildcard_at_every_level) {
    // Each route adds one level with a static and a wildcard child, so a failing lookup
    // backtracks through thousands of skipped points; the tree is torn down afterwards.
    constexpr int kDepth = 3000;
    Tree t;
    std::string route;
    for (int i = 0; i < kDepth; ++i) {
        route += "/a";
        CHECK(!t.insert(route + "/{p}", "p"));
        CHECK(!t.insert(route, "a"));
    }
    std::string text = repeat("/a", kDepth);
    CHECK_EQ(lookup(t, text), std::string("a"));
    CHECK_EQ(lookup(t, text + "/b"), std::string("p p=b"));
    CHECK_EQ(lookup(t, repeat("/a", kDepth / 2) + "/b"), std::string("p p=b"));
    CHECK_EQ(lookup(t, text + "/b/c"), std::string("none"));
    CHECK_EQ(lookup(t, text + "/a/a"), std::string("none"));
}

}  // namespace
