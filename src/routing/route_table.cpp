#include "routing/route_table.h"

#include <cstring>
#include <string>

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

// Fills `dict` with the parameters in text order; a later name replaces an earlier one.
bool fill_params(PyObject* dict, const routing::ParamList& params) {
    for (const routing::Param& p : params) {
        Ref name = Ref::steal(to_str(p.name));
        Ref value = Ref::steal(to_str(p.value));
        if (!name || !value || PyDict_SetItem(dict, name.get(), value.get()) < 0) return false;
    }
    return true;
}

}  // namespace

struct RouteTable::Impl {
    routing::RouteTree<Ref> tree;
};

RouteTable::RouteTable() : impl_(std::make_unique<Impl>()) {}
RouteTable::~RouteTable() = default;
RouteTable::RouteTable(RouteTable&&) noexcept = default;
RouteTable& RouteTable::operator=(RouteTable&&) noexcept = default;

bool RouteTable::add(std::string_view method, std::string_view pattern, PyObject* handler) {
    std::string key;
    key.reserve(method.size() + 1 + pattern.size());
    key.append(method).append(1, ' ').append(pattern);
    routing::InsertResult err = impl_->tree.insert(key, Ref::borrow(handler));
    if (!err) return true;
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
    routing::Match<Ref> m;
    if (!impl_->tree.match(key.view(), m)) Py_RETURN_NONE;
    PyObject* handler = m.value->get();
    if (m.params.empty()) return PyTuple_Pack(2, handler, Py_None);
    Ref params = Ref::steal(PyDict_New());
    if (!params || !fill_params(params.get(), m.params)) return nullptr;
    return PyTuple_Pack(2, handler, params.get());
}

PyObject* RouteTable::match_for_dispatch(std::string_view method, std::string_view path, PyObject** params) const {
    Key key(method, path);
    routing::Match<Ref> m;
    if (!impl_->tree.match(key.view(), m)) return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !fill_params(dict.get(), m.params)) return nullptr;
    *params = dict.release();
    return new_ref(m.value->get());
}

}  // namespace calvenor
