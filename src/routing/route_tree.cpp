#include "routing/route_tree.h"

#include <algorithm>
#include <cstring>

namespace calvenor::routing {

namespace {

constexpr std::uint32_t kNoValue = UINT32_MAX;
constexpr std::size_t kMaxParams = 25;
constexpr std::size_t npos = std::string_view::npos;

// A pattern after "{{" and "}}" were turned into single braces: the bytes, and one flag
// byte per byte telling whether it came from such a pair. An escaped brace is literal
// text; only unescaped braces are pattern syntax.
struct Text {
    std::string bytes;
    std::string esc;

    void append(std::string_view b, std::string_view e) {
        bytes.append(b);
        if (e.empty()) {
            esc.append(b.size(), '\0');
        } else {
            esc.append(e);
        }
    }
};

// A slice of such text. `esc` is either as long as `bytes` or empty (nothing escaped).
struct View {
    std::string_view bytes;
    std::string_view esc;

    std::size_t size() const { return bytes.size(); }
    bool empty() const { return bytes.empty(); }
    bool escaped(std::size_t i) const { return !esc.empty() && esc[i] != '\0'; }
    bool syntax(std::size_t i, char brace) const { return bytes[i] == brace && !escaped(i); }
    View sub(std::size_t pos, std::size_t n = npos) const {
        return {bytes.substr(pos, n), esc.empty() ? esc : esc.substr(pos, n)};
    }
};

View view_of(const Text& t) { return {t.bytes, t.esc}; }

Text unescape(std::string_view p) {
    Text t;
    t.bytes.reserve(p.size());
    t.esc.reserve(p.size());
    for (std::size_t i = 0; i < p.size();) {
        char c = p[i];
        if ((c == '{' || c == '}') && i + 1 < p.size() && p[i + 1] == c) {
            t.bytes.push_back(c);
            t.esc.push_back('\1');
            i += 2;
        } else {
            t.bytes.push_back(c);
            t.esc.push_back('\0');
            ++i;
        }
    }
    return t;
}

enum class Scan { None, Found, Invalid };

struct Wildcard {
    Scan status;
    std::size_t start = 0;  // the "{"
    std::size_t end = 0;    // one past the "}"
};

// The first wildcard at or after `from`.
Wildcard find_wildcard(View t, std::size_t from) {
    const std::size_t n = t.size();
    for (std::size_t i = from; i < n; ++i) {
        char c = t.bytes[i];
        if (c == '}' && !t.escaped(i)) return {Scan::Invalid};
        if (c != '{' || t.escaped(i)) continue;
        // The byte after "{" is taken as it is, except that "{}" has no name.
        if (i + 1 >= n || t.bytes[i + 1] == '}') return {Scan::Invalid};
        for (std::size_t j = i + 2; j < n; ++j) {
            char d = t.bytes[j];
            if (d == '}' && !t.escaped(j)) return {Scan::Found, i, j + 1};
            if (d == '*' || d == '/') return {Scan::Invalid};
        }
        return {Scan::Invalid};
    }
    return {Scan::None};
}

// Any unescaped "{" starts pattern syntax; in a checked pattern that is a wildcard.
bool has_wildcard(View t) {
    for (std::size_t i = t.bytes.find('{'); i != npos; i = t.bytes.find('{', i + 1)) {
        if (!t.escaped(i)) return true;
    }
    return false;
}

// Rewrites parameters as {a}, {b}, ... and collects their names as written.
std::optional<InsertErrorKind> normalise(const Text& src, Text& out,
                                         std::vector<std::string>& names) {
    View v = view_of(src);
    out.bytes.reserve(src.bytes.size());
    out.esc.reserve(src.bytes.size());
    std::size_t from = 0;
    for (;;) {
        Wildcard w = find_wildcard(v, from);
        if (w.status == Scan::Invalid) return InsertErrorKind::InvalidParam;
        if (w.status == Scan::None) break;
        if (src.bytes[w.start + 1] == '*') {  // catch-alls keep their name in the tree
            out.append(v.bytes.substr(from, w.end - from), v.esc.substr(from, w.end - from));
        } else {
            out.append(v.bytes.substr(from, w.start - from), v.esc.substr(from, w.start - from));
            const char letter[3] = {'{', static_cast<char>('a' + names.size()), '}'};
            out.append(std::string_view(letter, 3), {});
            names.emplace_back(v.bytes.substr(w.start + 1, w.end - w.start - 2));
            if (names.size() > kMaxParams) return InsertErrorKind::TooManyParams;
        }
        from = w.end;
    }
    out.append(v.bytes.substr(from), v.esc.substr(from));
    return std::nullopt;
}

// The route as text, each wildcard replaced by "{" name "}" while names last.
std::string name_wildcards(const Text& t, const std::vector<std::string>& names) {
    std::string out;
    out.reserve(t.bytes.size());
    View v = view_of(t);
    std::size_t from = 0;
    for (const std::string& name : names) {
        Wildcard w = find_wildcard(v, from);
        if (w.status != Scan::Found) break;
        out.append(t.bytes, from, w.start - from);
        out += '{';
        out += name;
        out += '}';
        from = w.end;
    }
    out.append(t.bytes, from);
    return out;
}

}  // namespace

enum class NodeKind : std::uint8_t { Root, Static, Param, CatchAll };

struct RouteTreeCore::Node {
    std::uint32_t value = kNoValue;
    std::string prefix;
    std::string esc;      // empty, or one flag byte per prefix byte
    std::string indices;  // first byte of each static child, same order as children
    std::vector<std::unique_ptr<Node>> children;  // statics, then the wildcard child
    std::vector<std::string> param_names;
    std::uint32_t priority = 0;
    bool wild_child = false;
    NodeKind kind = NodeKind::Static;
    bool suffix = false;  // Param only: literal text follows the parameter in its segment

    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // Tear down iteratively: a tree can be deeper than the stack allows recursion.
    ~Node() {
        if (children.empty()) return;
        std::vector<std::unique_ptr<Node>> pending = std::move(children);
        while (!pending.empty()) {
            std::unique_ptr<Node> n = std::move(pending.back());
            pending.pop_back();
            for (auto& c : n->children) pending.push_back(std::move(c));
            n->children.clear();
        }
    }

    View view() const { return {prefix, esc}; }
    bool has_value() const { return value != kNoValue; }

    void set_prefix(View v) {
        prefix.assign(v.bytes);
        if (v.esc.find('\1') == npos) {
            esc.clear();
        } else {
            esc.assign(v.esc);
        }
    }
};

namespace {

using Node = RouteTreeCore::Node;
using NodePtr = std::unique_ptr<Node>;

NodePtr new_node(std::uint32_t priority) {
    NodePtr n = std::make_unique<Node>();
    n->priority = priority;
    return n;
}

void take_value(Node& n, std::uint32_t id, std::vector<std::string>& names) {
    n.value = id;
    n.param_names = std::move(names);
}

// Bumps a static child's priority and moves it ahead of lower-priority siblings, keeping
// `indices` in step. Returns the child's new position.
std::size_t raise_priority(Node& n, std::size_t i) {
    auto& ch = n.children;
    std::uint32_t p = ++ch[i]->priority;
    std::size_t j = i;
    while (j > 0 && ch[j - 1]->priority < p) {
        std::swap(ch[j - 1], ch[j]);
        --j;
    }
    if (j != i) {
        char c = n.indices[i];
        std::memmove(&n.indices[j + 1], &n.indices[j], i - j);
        n.indices[j] = c;
    }
    return j;
}

// Keeps the first `at` bytes in `n` and moves the rest, with everything below, into a
// single new static child.
void split(Node& n, std::size_t at) {
    NodePtr c = new_node(n.priority - 1);
    c->set_prefix(n.view().sub(at));
    c->value = n.value;
    c->indices = std::move(n.indices);
    c->children = std::move(n.children);
    c->wild_child = n.wild_child;
    c->param_names = std::move(n.param_names);

    n.indices.assign(1, n.prefix[at]);
    n.children.clear();
    n.children.push_back(std::move(c));
    n.set_prefix(n.view().sub(0, at));
    n.value = kNoValue;
    n.wild_child = false;
    n.param_names.clear();
}

// Builds the rest of a route below `start`. Callers pass a node that is not yet in the
// tree (or one whose only change would be a new wildcard child, built the same way), so
// an error leaves the tree as it was.
std::optional<InsertErrorKind> build_chain(Node& start, View rem, std::uint32_t id,
                                           std::vector<std::string>& names) {
    Node* cur = &start;
    for (;;) {
        Wildcard w = find_wildcard(rem, 0);
        if (w.status == Scan::Invalid) return InsertErrorKind::InvalidParam;
        if (w.status == Scan::None) {
            cur->set_prefix(rem);
            take_value(*cur, id, names);
            return std::nullopt;
        }
        View wild = rem.sub(w.start, w.end - w.start);
        if (wild.bytes[1] == '*') {
            if (w.end != rem.size()) return InsertErrorKind::InvalidCatchAll;
            if (w.start > 0) cur->set_prefix(rem.sub(0, w.start));
            NodePtr c = new_node(1);
            c->kind = NodeKind::CatchAll;
            c->set_prefix(wild);
            take_value(*c, id, names);
            cur->children.push_back(std::move(c));
            cur->wild_child = true;
            return std::nullopt;
        }

        View after = rem.sub(w.end);
        std::size_t slash = after.bytes.find('/');
        std::size_t term = slash == npos ? after.size() : slash + 1;
        View seg_rest = after.sub(0, term);
        if (has_wildcard(seg_rest)) return InsertErrorKind::InvalidParamSegment;
        if (w.start > 0) cur->set_prefix(rem.sub(0, w.start));

        NodePtr p = new_node(1);
        p->kind = NodeKind::Param;
        p->suffix = !(seg_rest.empty() || seg_rest.bytes == "/");
        p->set_prefix(wild);
        Node* param = p.get();
        cur->children.push_back(std::move(p));
        cur->wild_child = true;
        cur = param;
        if (!seg_rest.empty()) {
            NodePtr s = new_node(1);
            s->set_prefix(seg_rest);
            Node* next = s.get();
            cur->children.push_back(std::move(s));
            cur = next;
        }

        rem = after.sub(term);
        if (rem.empty()) {
            take_value(*cur, id, names);
            return std::nullopt;
        }
        if (rem.syntax(0, '{')) continue;
        cur->indices.push_back(rem.bytes[0]);
        NodePtr e = new_node(1);
        Node* next = e.get();
        cur->children.push_back(std::move(e));
        cur = next;
    }
}

InsertError conflict(const Text& route, View rem, const Node& node) {
    if (rem.bytes == node.prefix) {
        return {InsertErrorKind::Conflict, name_wildcards(route, node.param_names)};
    }
    Text t;
    std::size_t keep = route.bytes.size() - rem.size();
    t.append(std::string_view(route.bytes).substr(0, keep),
             std::string_view(route.esc).substr(0, keep));
    if (!std::string_view(t.bytes).ends_with(node.prefix)) t.append(node.prefix, node.esc);
    const Node* last = &node;
    while (!last->children.empty()) {
        last = last->children.front().get();
        t.append(last->prefix, last->esc);
    }
    return {InsertErrorKind::Conflict, name_wildcards(t, last->param_names)};
}

// Byte and escape equality: an escaped brace never equals pattern syntax.
bool same_text(const Node& n, View v) {
    if (n.prefix != v.bytes) return false;
    for (std::size_t i = 0; i < v.size(); ++i) {
        bool a = !n.esc.empty() && n.esc[i] != '\0';
        if (a != v.escaped(i)) return false;
    }
    return true;
}

// Inline loops instead of memcmp/memchr calls: prefixes, index lists and path segments
// are a few bytes long, where the call costs more than the scan.
inline bool starts_with(const char* text, const char* prefix, std::size_t n) {
    for (; n >= 8; text += 8, prefix += 8, n -= 8) {
        std::uint64_t a, b;
        std::memcpy(&a, text, 8);
        std::memcpy(&b, prefix, 8);
        if (a != b) return false;
    }
    if (n >= 4) {  // two overlapping words cover 4 to 7 bytes
        std::uint32_t a, b, c, d;
        std::memcpy(&a, text, 4);
        std::memcpy(&b, prefix, 4);
        std::memcpy(&c, text + n - 4, 4);
        std::memcpy(&d, prefix + n - 4, 4);
        return ((a ^ b) | (c ^ d)) == 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (text[i] != prefix[i]) return false;
    }
    return true;
}

inline std::size_t find_byte(const char* s, std::size_t n, char c) {
    for (std::size_t i = 0; i < n; ++i) {
        if (s[i] == c) return i;
    }
    return npos;
}

}  // namespace

std::string InsertError::message() const {
    switch (kind) {
        case InsertErrorKind::Conflict:
            return "Insertion failed due to conflict with previously registered route: " + with;
        case InsertErrorKind::InvalidParamSegment:
            return "Only one parameter is allowed per path segment";
        case InsertErrorKind::InvalidParam:
            return "Parameters must be registered with a valid name";
        case InsertErrorKind::InvalidCatchAll:
            return "Catch-all parameters are only allowed at the end of a route";
        case InsertErrorKind::TooManyParams:
            return "Too many route parameters.";
    }
    return {};
}

RouteTreeCore::RouteTreeCore() : root_(std::make_unique<Node>()) {}
RouteTreeCore::~RouteTreeCore() = default;
RouteTreeCore::RouteTreeCore(RouteTreeCore&&) noexcept = default;
RouteTreeCore& RouteTreeCore::operator=(RouteTreeCore&&) noexcept = default;

InsertResult RouteTreeCore::insert(std::string_view pattern, std::uint32_t id) {
    Text route;
    std::vector<std::string> names;
    {
        Text raw = unescape(pattern);
        if (auto e = normalise(raw, route, names)) return InsertError{*e, {}};
    }
    const View whole = view_of(route);

    Node& root = *root_;
    ++root.priority;
    if (root.prefix.empty() && root.children.empty() && !root.has_value()) {
        Node fresh;
        if (auto e = build_chain(fresh, whole, id, names)) return InsertError{*e, {}};
        root.value = fresh.value;
        root.prefix = std::move(fresh.prefix);
        root.esc = std::move(fresh.esc);
        root.indices = std::move(fresh.indices);
        root.children = std::move(fresh.children);
        root.param_names = std::move(fresh.param_names);
        root.wild_child = fresh.wild_child;
        root.kind = NodeKind::Root;
        return std::nullopt;
    }

    Node* cur = &root;
    View rem = whole;
    for (;;) {
        // Longest common prefix; a byte matches only with the same escaping.
        const std::size_t limit = std::min(rem.size(), cur->prefix.size());
        std::size_t common = 0;
        while (common < limit && rem.bytes[common] == cur->prefix[common] &&
               rem.escaped(common) == (!cur->esc.empty() && cur->esc[common] != '\0')) {
            ++common;
        }
        if (cur->prefix.size() > common) split(*cur, common);

        if (rem.size() == common) {
            if (cur->has_value()) return conflict(route, rem, *cur);
            take_value(*cur, id, names);
            return std::nullopt;
        }
        rem = rem.sub(common);
        const char next = rem.bytes[0];

        if (cur->kind == NodeKind::Param) {
            // Children of a parameter are the literal rests of its segment.
            std::size_t slash = rem.bytes.find('/');
            std::size_t term = slash == npos ? rem.size() : slash + 1;
            View seg = rem.sub(0, term);
            Node* same = nullptr;
            for (auto& c : cur->children) {
                if (same_text(*c, seg)) {
                    same = c.get();
                    break;
                }
            }
            if (same != nullptr) {
                ++same->priority;
                cur = same;
                continue;
            }
            if (has_wildcard(seg)) return InsertError{InsertErrorKind::InvalidParamSegment, {}};

            NodePtr child = new_node(1);
            child->set_prefix(seg);
            if (term == rem.size()) {
                take_value(*child, id, names);
            } else {
                View rest = rem.sub(term);
                if (rest.syntax(0, '{')) {
                    if (auto e = build_chain(*child, rest, id, names)) return InsertError{*e, {}};
                } else {
                    NodePtr grand = new_node(1);
                    if (auto e = build_chain(*grand, rest, id, names)) return InsertError{*e, {}};
                    child->indices.push_back(rest.bytes[0]);
                    child->children.push_back(std::move(grand));
                }
            }
            // Longest first; a new child goes after those of equal length.
            auto pos = std::find_if(cur->children.begin(), cur->children.end(),
                                    [&](const NodePtr& c) { return c->prefix.size() < seg.size(); });
            cur->children.insert(pos, std::move(child));
            cur->suffix = true;
            return std::nullopt;
        }

        const bool open = rem.syntax(0, '{');
        if (!open && !rem.syntax(0, '}')) {
            std::size_t i = cur->indices.find(next);
            if (i != npos) {
                i = raise_priority(*cur, i);
                cur = cur->children[i].get();
                continue;
            }
        }

        if (!open && cur->kind != NodeKind::CatchAll) {
            NodePtr child = new_node(0);
            if (auto e = build_chain(*child, rem, id, names)) return InsertError{*e, {}};
            std::size_t at = cur->children.size() - (cur->wild_child ? 1 : 0);
            cur->children.insert(cur->children.begin() + static_cast<std::ptrdiff_t>(at),
                                 std::move(child));
            cur->indices.push_back(next);
            raise_priority(*cur, at);
            return std::nullopt;
        }

        if (!cur->wild_child) {
            // The chain only gives `cur` a wildcard child, so build it on a stand-in.
            Node holder;
            if (auto e = build_chain(holder, rem, id, names)) return InsertError{*e, {}};
            for (auto& c : holder.children) cur->children.push_back(std::move(c));
            holder.children.clear();
            cur->wild_child = true;
            return std::nullopt;
        }

        Node* wild = cur->children.back().get();
        ++wild->priority;
        if (rem.size() >= wild->prefix.size() &&
            rem.bytes.substr(0, wild->prefix.size()) != wild->prefix) {
            return conflict(route, rem, *wild);
        }
        if (wild->kind == NodeKind::CatchAll) return conflict(route, rem, *wild);
        cur = wild;
    }
}

bool RouteTreeCore::match(std::string_view text, std::uint32_t& id, ParamList& params) const {
    struct Skipped {
        const Node* node;
        std::string_view text;  // the remaining text at `node`, before its prefix
        std::size_t params;
    };
    // Skipped points live inline up to a depth that real route tables do not reach; only
    // deeper ones go to the heap, on their first push.
    static constexpr std::size_t kInlineSkipped = 8;
    Skipped inline_skipped[kInlineSkipped];
    std::size_t n_skipped = 0;
    std::vector<Skipped> more_skipped;

    params.clear();
    const Node* cur = root_.get();
    std::string_view rem = text;
    bool backtracking = false;

    auto finish = [&](const Node& n) {
        const std::size_t k = std::min(params.size(), n.param_names.size());
        for (std::size_t i = 0; i < k; ++i) params[i].name = n.param_names[i];
        id = n.value;
        return true;
    };
    auto push_skipped = [&](const Skipped& s) {
        if (n_skipped < kInlineSkipped) {
            inline_skipped[n_skipped] = s;
        } else {
            more_skipped.push_back(s);
        }
        ++n_skipped;
    };
    // Resumes at the most recent node where a static child was chosen over a wildcard;
    // false when there is none left, i.e. no match.
    auto backtrack = [&]() {
        while (n_skipped > 0) {
            --n_skipped;
            Skipped s;
            if (n_skipped < kInlineSkipped) {
                s = inline_skipped[n_skipped];
            } else {
                s = more_skipped.back();
                more_skipped.pop_back();
            }
            // Both are tails of `text`, so "ends with" is a length test.
            if (s.text.size() >= rem.size()) {
                cur = s.node;
                rem = s.text;
                params.truncate(s.params);
                backtracking = true;
                return true;
            }
        }
        params.clear();
        return false;
    };

    for (;;) {
        const std::size_t plen = cur->prefix.size();
        if (rem.size() <= plen || !starts_with(rem.data(), cur->prefix.data(), plen)) {
            if (rem.size() == plen && cur->has_value() && starts_with(rem.data(), cur->prefix.data(), plen)) {
                return finish(*cur);
            }
            if (backtrack()) continue;
            return false;
        }
        const std::string_view before = rem;
        rem.remove_prefix(plen);

        if (!backtracking) {
            const std::size_t i = find_byte(cur->indices.data(), cur->indices.size(), rem[0]);
            if (i != npos) {
                if (cur->wild_child) push_skipped({cur, before, params.size()});
                cur = cur->children[i].get();
                continue;
            }
        }
        if (!cur->wild_child) {
            if (backtrack()) continue;
            return false;
        }

        const Node& wild = *cur->children.back();
        backtracking = false;
        if (wild.kind == NodeKind::CatchAll) {
            if (!wild.has_value()) {
                if (backtrack()) continue;
                return false;
            }
            finish(wild);
            std::string_view name(wild.prefix);
            params.push_back({name.substr(2, name.size() - 3), rem});
            return true;
        }

        const std::size_t slash = find_byte(rem.data(), rem.size(), '/');
        if (slash == 0) {
            if (backtrack()) continue;
            return false;
        }
        if (!wild.suffix) {
            if (slash == npos) {
                if (wild.has_value()) {
                    params.push_back({{}, rem});
                    return finish(wild);
                }
            } else if (wild.children.size() == 1) {
                params.push_back({{}, rem.substr(0, slash)});
                rem.remove_prefix(slash);
                cur = wild.children.front().get();
                continue;
            }
            if (backtrack()) continue;
            return false;
        }

        const std::size_t term = slash == npos ? rem.size() : slash + 1;
        const Node* fit = nullptr;
        for (const auto& c : wild.children) {  // longest literal first
            const std::size_t clen = c->prefix.size();
            if (clen < term && starts_with(rem.data() + term - clen, c->prefix.data(), clen)) {
                fit = c.get();
                break;
            }
        }
        if (fit != nullptr) {
            const std::size_t cut = term - fit->prefix.size();
            params.push_back({{}, rem.substr(0, cut)});
            rem.remove_prefix(cut);
            cur = fit;
            continue;
        }
        if (slash == npos && wild.has_value()) {
            params.push_back({{}, rem});
            return finish(wild);
        }
        if (backtrack()) continue;
        return false;
    }
}

std::string RouteTreeCore::dump(bool with_priority) const {
    static constexpr const char* kKinds[] = {"root", "static", "param", "catchall"};
    std::string out;
    std::vector<std::pair<const Node*, std::size_t>> stack{{root_.get(), 0}};
    while (!stack.empty()) {
        auto [n, depth] = stack.back();
        stack.pop_back();
        out.append(2 * depth, ' ');
        out += '"';
        out += n->prefix;
        out += "\" ";
        out += kKinds[static_cast<int>(n->kind)];
        if (n->kind == NodeKind::Param && n->suffix) out += "+suffix";
        if (!n->indices.empty()) out += " indices=" + n->indices;
        if (n->wild_child) out += " wild";
        if (n->has_value()) out += " value=" + std::to_string(n->value);
        if (!n->param_names.empty()) {
            out += " names=";
            for (std::size_t i = 0; i < n->param_names.size(); ++i) {
                if (i > 0) out += ',';
                out += n->param_names[i];
            }
        }
        if (with_priority) out += " prio=" + std::to_string(n->priority);
        out += '\n';
        for (auto it = n->children.rbegin(); it != n->children.rend(); ++it) {
            stack.push_back({it->get(), depth + 1});
        }
    }
    return out;
}

}  // namespace calvenor::routing
