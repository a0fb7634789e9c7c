#include "py/json_value.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <vector>

namespace ostrel_py {

namespace {

using nlohmann::json;

// isinstance(o, collections.abc.<name>): 1, 0, or -1 with an exception set.
int isinstance_of_abc(PyObject* o, const char* name) {
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return -1;
    Ref cls = Ref::steal(PyObject_GetAttrString(abc.get(), name));
    if (!cls) return -1;
    return PyObject_IsInstance(o, cls.get());
}

struct Converter {
    std::optional<std::string> error;

    bool fail(std::string message) {
        error = std::move(message);
        return false;
    }

    bool items_to_array(PyObject* iterable, json& out, int depth) {
        Ref it = Ref::steal(PyObject_GetIter(iterable));
        if (!it) return false;
        out = json::array();
        while (true) {
            Ref item = Ref::steal(PyIter_Next(it.get()));
            if (!item) {
                return !PyErr_Occurred();
            }
            json v;
            if (!convert(item.get(), v, depth + 1)) return false;
            out.push_back(std::move(v));
        }
    }

    bool mapping_to_object(PyObject* mapping, bool is_dict, json& out, int depth) {
        out = json::object();
        auto add = [&](PyObject* key, PyObject* value) -> bool {
            if (!PyUnicode_Check(key)) return fail("dict keys must be str, got '" + type_name(key) + "'");
            std::string k;
            if (!from_py(key, k)) return false;
            json v;
            if (!convert(value, v, depth + 1)) return false;
            out[k] = std::move(v);
            return true;
        };
        if (is_dict) {
            Py_ssize_t pos = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            // Hold references: converting a value may run Python code.
            std::vector<std::pair<Ref, Ref>> entries;
            while (PyDict_Next(mapping, &pos, &key, &value)) entries.emplace_back(Ref::borrow(key), Ref::borrow(value));
            for (auto& [k, v] : entries)
                if (!add(k.get(), v.get())) return false;
            return true;
        }
        Ref keys = Ref::steal(PyMapping_Keys(mapping));
        if (!keys) return false;
        Ref it = Ref::steal(PyObject_GetIter(keys.get()));
        if (!it) return false;
        while (true) {
            Ref key = Ref::steal(PyIter_Next(it.get()));
            if (!key) return !PyErr_Occurred();
            Ref value = Ref::steal(PyObject_GetItem(mapping, key.get()));
            if (!value) return false;
            if (!add(key.get(), value.get())) return false;
        }
    }

    bool convert(PyObject* o, json& out, int depth) {
        if (depth > kMaxJsonDepth) return fail("nesting too deep (more than " + std::to_string(kMaxJsonDepth) + " levels)");
        if (o == Py_None) {
            out = nullptr;
            return true;
        }
        if (PyBool_Check(o)) {
            out = (o == Py_True);
            return true;
        }
        if (PyLong_Check(o)) {
            unsigned long long u = PyLong_AsUnsignedLongLong(o);
            if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                out = static_cast<std::uint64_t>(u);
                return true;
            }
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
            long long s = PyLong_AsLongLong(o);
            if (!(s == -1 && PyErr_Occurred())) {
                out = static_cast<std::int64_t>(s);
                return true;
            }
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
            return fail("JSON number out of range");
        }
        if (PyList_Check(o) || PyTuple_Check(o)) return items_to_array(o, out, depth);
        if (PyDict_Check(o)) return mapping_to_object(o, true, out, depth);
        if (PyUnicode_Check(o)) {
            std::string s;
            if (!from_py(o, s)) return false;
            out = std::move(s);
            return true;
        }
        if (PyBytes_Check(o) || PyByteArray_Check(o)) {
            LenientBytes b;
            if (!from_py(o, b)) return false;
            out = json::binary(std::move(b.data));
            return true;
        }
        if (PyFloat_Check(o)) {
            double d = PyFloat_AsDouble(o);
            if (d == -1.0 && PyErr_Occurred()) return false;
            if (std::isfinite(d)) {
                out = d;
            } else {
                out = nullptr;
            }
            return true;
        }
        if (PyAnySet_Check(o)) return items_to_array(o, out, depth);
        // The sequence and mapping checks are those of collections.abc: a
        // class with __getitem__ alone is neither, and a Mapping is not taken
        // for a sequence just because it defines __getitem__.
        int is_seq = isinstance_of_abc(o, "Sequence");
        if (is_seq < 0) return false;
        if (is_seq) return items_to_array(o, out, depth);
        int is_map = isinstance_of_abc(o, "Mapping");
        if (is_map < 0) return false;
        if (is_map) return mapping_to_object(o, false, out, depth);
        return fail("unsupported type: " + type_name(o));
    }
};

}  // namespace

JsonConvertResult python_to_json(PyObject* value, nlohmann::json& out) {
    Converter c;
    bool ok = c.convert(value, out, 0);
    JsonConvertResult r;
    r.ok = ok;
    if (!ok) r.error = std::move(c.error);
    return r;
}

}  // namespace ostrel_py
