#include "request/query_to_python.h"

#include <string>
#include <utility>

#include "request/py_grouping.h"
#include "request/query_decoder.h"

namespace calvenor::request {

PyObject* query_to_python(std::string_view query_string) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    std::string name_buf;
    std::string value_buf;
    QuerySplitter pieces(query_string);
    QueryPiece piece;
    while (pieces.next(piece)) {
        Ref name = new_str(decoded_form_component(piece.name, name_buf));
        if (!name) return nullptr;
        Ref value = new_str(decoded_form_component(piece.value, value_buf));
        if (!value) return nullptr;
        if (!append_to_group(dict.get(), name.get(), std::move(value))) return nullptr;
    }
    return dict.release();
}

}  // namespace calvenor::request
