// Route pattern tree.
//
// A compressed prefix tree over bytes that stores route patterns such as
// "GET /users/{id}", "GET /users/{id}/posts" or "GET /files/{*path}" and finds, for a
// concrete text, the one stored pattern that matches it together with the parameter
// values. Leading text shared by patterns is stored once, a parameter or catch-all is a
// node of its own, and a lookup walks the tree byte by byte: a static child is always
// tried before the wildcard child, and when a static branch dead-ends the walk resumes
// at the wildcard child of the nearest node where it chose the static one.
//
// Parameters are stored under positional names ({a}, {b}, ...) so that routes spelling
// the same position differently share a node; each route keeps the names it was written
// with, and a match names its values from the matched route's list.
//
// Why a template over a non-template core: all tree logic lives in RouteTreeCore, which
// stores one small integer per route and is compiled once in route_tree.cpp.
// RouteTree<V> only owns the values those integers stand for. The Python glue stores an
// RAII owned reference there (released by its destructor); the tests use plain or
// counting types. A refused insertion never stores its value, so the value dies with the
// by-value parameter of insert().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace calvenor::routing {

enum class InsertErrorKind : std::uint8_t {
    Conflict,             // `with` holds the colliding route
    InvalidParamSegment,  // two parameters in one segment
    InvalidParam,         // malformed or unnamed parameter, stray brace
    InvalidCatchAll,      // catch-all not at the end
    TooManyParams,        // more than 25 parameters: the caller must treat it as a panic
};

struct InsertError {
    InsertErrorKind kind;
    std::string with;  // only for Conflict: the colliding route, as written

    // The user-facing text of the error.
    std::string message() const;
    // True for errors that the caller reports as an aborted call, not as a bad route.
    bool is_panic() const { return kind == InsertErrorKind::TooManyParams; }
};

// nullopt on success.
using InsertResult = std::optional<InsertError>;

struct Param {
    std::string_view name;   // points into the tree
    std::string_view value;  // points into the looked-up text
};

// The parameters of one match, in text order. The first three live inline: most routes
// have at most three parameters, so a lookup does not allocate for them.
class ParamList {
public:
    static constexpr std::size_t kInline = 3;

    std::size_t size() const { return heap_mode_ ? heap_.size() : n_; }
    bool empty() const { return size() == 0; }
    bool on_heap() const { return heap_mode_; }

    Param* begin() { return data(); }
    Param* end() { return data() + size(); }
    const Param* begin() const { return data(); }
    const Param* end() const { return data() + size(); }
    Param& operator[](std::size_t i) { return data()[i]; }
    const Param& operator[](std::size_t i) const { return data()[i]; }

    void push_back(const Param& p) {
        if (!heap_mode_) {
            if (n_ < kInline) {
                inline_[n_++] = p;
                return;
            }
            heap_.reserve(2 * kInline + 2);
            heap_.assign(inline_, inline_ + n_);
            heap_mode_ = true;
        }
        heap_.push_back(p);
    }
    void truncate(std::size_t n) {
        if (heap_mode_) {
            if (n < heap_.size()) heap_.resize(n);
        } else if (n < n_) {
            n_ = n;
        }
    }
    void clear() {
        heap_.clear();
        heap_mode_ = false;
        n_ = 0;
    }

private:
    Param* data() { return heap_mode_ ? heap_.data() : inline_; }
    const Param* data() const { return heap_mode_ ? heap_.data() : inline_; }

    Param inline_[kInline];
    std::size_t n_ = 0;
    bool heap_mode_ = false;
    std::vector<Param> heap_;
};

// The untyped tree: routes carry an integer id chosen by the caller.
class RouteTreeCore {
public:
    RouteTreeCore();
    ~RouteTreeCore();
    RouteTreeCore(RouteTreeCore&&) noexcept;
    RouteTreeCore& operator=(RouteTreeCore&&) noexcept;
    RouteTreeCore(const RouteTreeCore&) = delete;
    RouteTreeCore& operator=(const RouteTreeCore&) = delete;

    // Adds the route; on error the tree behaves as if it had never been called.
    InsertResult insert(std::string_view pattern, std::uint32_t id);

    // Finds the route for `text`. On success sets `id` and fills `params` (names point
    // into the tree, values into `text`); valid until the next insert.
    bool match(std::string_view text, std::uint32_t& id, ParamList& params) const;

    // One line per node, indented by depth: for tests and debugging.
    std::string dump(bool with_priority = true) const;

    struct Node;

private:
    std::unique_ptr<Node> root_;
};

template <class V>
struct Match {
    const V* value = nullptr;
    ParamList params;
};

// Owns the values of its routes; destroying the tree destroys them all.
template <class V>
class RouteTree {
    static_assert(std::is_nothrow_move_constructible_v<V>,
                  "values are moved when the value store grows");

public:
    // The value is stored on success and destroyed on any error.
    [[nodiscard]] InsertResult insert(std::string_view pattern, V value) {
        // Grow first so that storing the value after a successful insert cannot fail.
        if (values_.size() == values_.capacity()) {
            values_.reserve(values_.empty() ? 8 : 2 * values_.capacity());
        }
        InsertResult r = core_.insert(pattern, static_cast<std::uint32_t>(values_.size()));
        if (!r) values_.push_back(std::move(value));
        return r;
    }

    // On success `out` refers into the tree and into `text` until the next insert.
    bool match(std::string_view text, Match<V>& out) const {
        std::uint32_t id = 0;
        if (!core_.match(text, id, out.params)) {
            out.value = nullptr;
            return false;
        }
        out.value = &values_[id];
        return true;
    }

    std::size_t size() const { return values_.size(); }
    std::string dump(bool with_priority = true) const { return core_.dump(with_priority); }

private:
    RouteTreeCore core_;
    std::vector<V> values_;
};

}  // namespace calvenor::routing
