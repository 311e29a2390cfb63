#include "routing/route_table.h"

#include <cstring>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "module/errors.h"
#include "module/py_ref.h"
#include "routing/route_tree.h"

namespace calvenor {

namespace {

// "METHOD path" without a heap allocation for ordinary lengths.
class Key {
public:
    Key(std::string_view method, std::string_view path) {
        size_t n = method.size() + 1 + path.size();
        char* p = n <= sizeof small_ ? small_ : (large_.resize(n), large_.data());
        std::memcpy(p, method.data(), method.size());
        p[method.size()] = ' ';
        std::memcpy(p + method.size() + 1, path.data(), path.size());
        view_ = std::string_view(p, n);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    std::string_view view() const { return view_; }

private:
    char small_[256];
    std::string large_;
    std::string_view view_;
};

PyObject* to_str(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size()); }

}  // namespace

struct RouteTable::Impl {
    struct Route {
        Ref handler;
        // The parameter names of this route's matches as str objects, reused by every
        // lookup: no str to build and, once hashed by a dict, no hash to compute. Valid
        // while `checked` equals the table's generation: the tree vouches for its names
        // only until the next insert, so the first match after one rebuilds them.
        mutable std::vector<Ref> names;
        mutable std::uint64_t checked = 0;
    };
    routing::RouteTree<Route> tree;
    std::uint64_t generation = 1;

    // The name objects for a match of `r`, or NULL with an exception set.
    const Ref* names_for(const Route& r, const routing::ParamList& params) const {
        if (r.checked != generation || r.names.size() != params.size()) {
            std::vector<Ref> fresh;
            fresh.reserve(params.size());
            for (const routing::Param& p : params) {
                fresh.push_back(Ref::steal(to_str(p.name)));
                if (!fresh.back()) return nullptr;
            }
            r.names = std::move(fresh);
            r.checked = generation;
        }
        return r.names.data();
    }

    // Fills `dict` with the parameters in text order; a later name replaces an earlier one.
    bool fill_params(PyObject* dict, const Route& r, const routing::ParamList& params) const {
        if (params.empty()) return true;
        const Ref* names = names_for(r, params);
        if (names == nullptr) return false;
        for (std::size_t i = 0; i < params.size(); ++i) {
            Ref value = Ref::steal(to_str(params[i].value));
            if (!value || PyDict_SetItem(dict, names[i].get(), value.get()) < 0) return false;
        }
        return true;
    }
};

RouteTable::RouteTable() : impl_(std::make_unique<Impl>()) {}
RouteTable::~RouteTable() = default;
RouteTable::RouteTable(RouteTable&&) noexcept = default;
RouteTable& RouteTable::operator=(RouteTable&&) noexcept = default;

bool RouteTable::add(std::string_view method, std::string_view pattern, PyObject* handler) {
    std::string key;
    key.reserve(method.size() + 1 + pattern.size());
    key.append(method).append(1, ' ').append(pattern);
    routing::InsertResult err = impl_->tree.insert(key, Impl::Route{Ref::borrow(handler), {}, 0});
    if (!err) {
        ++impl_->generation;
        return true;
    }
    if (err->is_panic()) {
        raise_panic(err->message());
    } else {
        std::string msg = "Invalid route: " + err->message();
        PyErr_SetString(PyExc_ValueError, msg.c_str());
    }
    return false;
}

PyObject* RouteTable::lookup_python(std::string_view method, std::string_view path) const {
    Key key(method, path);
    routing::Match<Impl::Route> m;
    if (!impl_->tree.match(key.view(), m)) Py_RETURN_NONE;
    PyObject* handler = m.value->handler.get();
    if (m.params.empty()) return PyTuple_Pack(2, handler, Py_None);
    Ref params = Ref::steal(PyDict_New());
    if (!params || !impl_->fill_params(params.get(), *m.value, m.params)) return nullptr;
    return PyTuple_Pack(2, handler, params.get());
}

Ref RouteTable::match_for_dispatch(std::string_view method, std::string_view path, Ref& params) const {
    Key key(method, path);
    routing::Match<Impl::Route> m;
    if (!impl_->tree.match(key.view(), m)) return Ref();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !impl_->fill_params(dict.get(), *m.value, m.params)) return Ref();
    params = std::move(dict);
    return Ref::borrow(m.value->handler.get());
}

}  // namespace calvenor
