#include "py/binding.hpp"

#include <structmember.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace ostrel_py {

// ---------------------------------------------------------------------------
// Errors

PyObject* raise(PyObject* type, std::string_view message) {
    if (message.empty()) message = "unknown error";
    // Messages may quote bytes from untrusted input; undecodable bytes become
    // U+FFFD so the caller always sees the intended exception type.
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* raise_error(PyObject* type, std::string_view context, std::string_view text) {
    if (context.empty()) return raise(type, text);
    std::string message;
    message.reserve(context.size() + 2 + text.size());
    message.append(context);
    message.append(": ");
    message.append(text);
    return raise(type, message);
}

namespace {
PyObject* g_internal_fault = nullptr;

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}
}  // namespace

bool init_internal_fault_type() {
    if (g_internal_fault != nullptr) return true;
    g_internal_fault = PyErr_NewExceptionWithDoc(
        "_ostrel_engine.InternalFault",
        "A broken internal assumption inside the engine. Derived from BaseException so that "
        "`except Exception` does not hide it.",
        PyExc_BaseException, nullptr);
    return g_internal_fault != nullptr;
}

PyObject* internal_fault_type() noexcept { return g_internal_fault; }

PyObject* raise_internal_fault(std::string_view description) noexcept {
    try {
        PyObject* type = g_internal_fault != nullptr ? g_internal_fault : PyExc_SystemError;
        if (description.empty()) description = "internal fault";
        raise(type, description);
        if (!PyErr_Occurred()) abort_at_boundary();
    } catch (...) {
        abort_at_boundary();
    }
    return nullptr;
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_fault(e.what());
    } catch (...) {
        raise_internal_fault("unknown native exception");
    }
}

std::string type_name(PyObject* o) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
    if (!name) {
        PyErr_Clear();
        return "?";
    }
    auto s = str_of(name.get());
    if (!s) {
        PyErr_Clear();
        return "?";
    }
    return *s;
}

std::optional<std::string> str_of(PyObject* o) {
    Ref text = Ref::steal(PyObject_Str(o));
    if (!text) return std::nullopt;
    std::string out;
    if (!from_py(text.get(), out)) return std::nullopt;
    return out;
}

// ---------------------------------------------------------------------------
// Borrow flags

Borrow Borrow::shared(BorrowFlag& flag) {
    if (flag.state < 0) {
        raise(PyExc_RuntimeError, "Already mutably borrowed");
        return Borrow(nullptr, false);
    }
    ++flag.state;
    return Borrow(&flag, false);
}

Borrow Borrow::exclusive(BorrowFlag& flag) {
    if (flag.state != 0) {
        raise(PyExc_RuntimeError, "Already borrowed");
        return Borrow(nullptr, true);
    }
    flag.state = -1;
    return Borrow(&flag, true);
}

Borrow::~Borrow() {
    if (flag_ == nullptr) return;
    if (exclusive_) {
        flag_->state = 0;
    } else {
        --flag_->state;
    }
}

// ---------------------------------------------------------------------------
// Classes

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
        std::string n = "?";
        if (name) {
            if (auto s = str_of(name.get())) n = *s;
        }
        PyErr_Clear();
        return raise(PyExc_TypeError, "cannot create '" + n + "' instances");
    });
}

namespace {
// PyType_FromSpec warns when a bare type name leaves __module__ unset. A
// placeholder member named __module__ (always None, never reads memory) puts
// the key into the type's dict; add_class() then replaces it with the module
// name.
PyMemberDef g_module_placeholder[] = {
    {const_cast<char*>("__module__"), T_NONE, 0, READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
}  // namespace

PyTypeObject* add_class(PyObject* module, const ClassSpec& spec) {
    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.tp_new != nullptr ? spec.tp_new : &no_constructor)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.tp_dealloc)});
    slots.push_back({Py_tp_members, g_module_placeholder});
    if (spec.methods != nullptr) slots.push_back({Py_tp_methods, spec.methods});
    if (spec.getset != nullptr) slots.push_back({Py_tp_getset, spec.getset});
    if (spec.repr != nullptr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.repr)});
    for (const auto& s : spec.extra_slots) slots.push_back(s);
    slots.push_back({0, nullptr});

    // No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. No dict or
    // weak-list offset: instances have no __dict__ and no weak references.
    PyType_Spec type_spec{spec.name, spec.basicsize, 0,
                          static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | spec.extra_flags), slots.data()};
    Ref type = Ref::steal(PyType_FromSpec(&type_spec));
    if (!type) return nullptr;
    Ref modname = Ref::steal(PyUnicode_FromString(kModuleName));
    if (!modname) return nullptr;
    if (PyObject_SetAttrString(type.get(), "__module__", modname.get()) < 0) return nullptr;

    Ref for_module = type;  // PyModule_AddObject steals this one on success
    if (PyModule_AddObject(module, spec.name, for_module.get()) < 0) return nullptr;
    for_module.release();
    return reinterpret_cast<PyTypeObject*>(type.release());
}

bool add_function(PyObject* module, PyMethodDef* def) {
    Ref modname = Ref::steal(PyUnicode_FromString(kModuleName));
    if (!modname) return false;
    Ref fn = Ref::steal(PyCFunction_NewEx(def, nullptr, modname.get()));
    if (!fn) return false;
    if (PyModule_AddObject(module, def->ml_name, fn.get()) < 0) return false;
    fn.release();  // the module owns it now
    return true;
}

// ---------------------------------------------------------------------------
// Signatures

namespace {
std::string trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return std::string(s.substr(b, e - b));
}
}  // namespace

Signature::Signature(const char* qualname, const char* doc) : qualname_(qualname) {
    std::string_view d(doc);
    std::size_t open = d.find('(');
    std::size_t end = d.find("\n--\n");
    if (open == std::string_view::npos || end == std::string_view::npos || end < open)
        throw std::logic_error(std::string("docstring of ") + qualname + " has no text signature");
    std::size_t close = d.rfind(')', end);
    if (close == std::string_view::npos || close < open)
        throw std::logic_error(std::string("docstring of ") + qualname + " has no text signature");
    std::string_view inner = d.substr(open + 1, close - open - 1);

    // Split at top-level commas (defaults may hold brackets or quotes).
    std::vector<std::string> tokens;
    int depth = 0;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < inner.size(); ++i) {
        char c = inner[i];
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            tokens.push_back(trim(inner.substr(start, i - start)));
            start = i + 1;
        }
    }
    if (std::string last = trim(inner.substr(start)); !last.empty()) tokens.push_back(last);

    bool keyword_only = false;
    for (const std::string& t : tokens) {
        if (t.empty() || t[0] == '$' || t == "/") continue;
        if (t == "*") {
            keyword_only = true;
            continue;
        }
        if (t[0] == '*') throw std::logic_error("variadic parameters are not supported: " + t);
        std::size_t eq = t.find('=');
        Param p{trim(std::string_view(t).substr(0, eq)), eq == std::string::npos, keyword_only};
        params_.push_back(std::move(p));
        if (!keyword_only) ++positional_;
    }
}

// ---------------------------------------------------------------------------
// Argument parsing

namespace {
std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() > 2 ? ", " : " ";
        if (i > 0 && i + 1 == names.size()) out += "and ";
        out += "'" + names[i] + "'";
    }
    return out;
}

bool raise_missing(const Signature& sig, const std::vector<std::string>& names, bool keyword_only) {
    std::string msg = sig.qualname() + "() missing " + std::to_string(names.size()) + " required " +
                      (keyword_only ? "keyword-only" : "positional") +
                      (names.size() == 1 ? " argument: " : " arguments: ") + quoted_list(names);
    raise(PyExc_TypeError, msg);
    return false;
}
}  // namespace

bool Args::parse(const Signature& sig, PyObject* args, PyObject* kwargs) {
    sig_ = &sig;
    const auto& params = sig.params();
    slots_.assign(params.size(), nullptr);

    Py_ssize_t npos = args != nullptr ? PyTuple_Size(args) : 0;
    if (npos < 0) return false;
    if (static_cast<std::size_t>(npos) > sig.positional_count()) {
        std::size_t max = sig.positional_count();
        std::size_t min = 0;
        for (std::size_t i = 0; i < max; ++i)
            if (params[i].required) ++min;
        std::string takes = min == max ? std::to_string(max) : "from " + std::to_string(min) + " to " + std::to_string(max);
        std::string msg = sig.qualname() + "() takes " + takes + (max == 1 && min == max ? " positional argument" : " positional arguments") +
                          " but " + std::to_string(npos) + (npos == 1 ? " was given" : " were given");
        raise(PyExc_TypeError, msg);
        return false;
    }
    for (Py_ssize_t i = 0; i < npos; ++i) slots_[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                raise(PyExc_TypeError, sig.qualname() + "() keywords must be strings");
                return false;
            }
            std::string name;
            if (!from_py(key, name)) return false;
            std::size_t index = params.size();
            for (std::size_t i = 0; i < params.size(); ++i) {
                if (params[i].name == name) {
                    index = i;
                    break;
                }
            }
            if (index == params.size()) {
                raise(PyExc_TypeError, sig.qualname() + "() got an unexpected keyword argument '" + name + "'");
                return false;
            }
            if (slots_[index] != nullptr) {
                raise(PyExc_TypeError, sig.qualname() + "() got multiple values for argument '" + name + "'");
                return false;
            }
            slots_[index] = value;
        }
    }

    std::vector<std::string> missing_pos, missing_kw;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].required && slots_[i] == nullptr)
            (params[i].keyword_only ? missing_kw : missing_pos).push_back(params[i].name);
    }
    if (!missing_pos.empty()) return raise_missing(sig, missing_pos, false);
    if (!missing_kw.empty()) return raise_missing(sig, missing_kw, true);
    return true;
}

void prefix_argument_type_error(std::string_view param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref rtype = Ref::steal(type), rvalue = Ref::steal(value), rtb = Ref::steal(tb);
    if (rtb && rvalue) PyException_SetTraceback(rvalue.get(), rtb.get());

    std::string inner;
    if (rvalue) {
        if (auto s = str_of(rvalue.get())) {
            inner = *s;
        } else {
            PyErr_Clear();
        }
    }
    std::string msg = "argument '" + std::string(param) + "': " + inner;
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size())));
    if (!text) return;
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
    if (!exc) return;
    if (rvalue) PyException_SetCause(exc.get(), rvalue.release());  // steals the cause
    PyErr_SetObject(PyExc_TypeError, exc.get());
}

void Args::prefix_type_error(std::size_t i) const { prefix_argument_type_error(sig_->params()[i].name); }

// ---------------------------------------------------------------------------
// Python -> native

bool raise_wrong_type(PyObject* o, std::string_view expected) {
    raise(PyExc_TypeError, "expected " + std::string(expected) + ", got '" + type_name(o) + "'");
    return false;
}

bool from_py(PyObject* o, std::string& out) {
    if (!PyUnicode_Check(o)) return raise_wrong_type(o, "str");
    Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(o));
    if (!utf8) return false;
    char* data = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(utf8.get(), &data, &n) < 0) return false;
    out.assign(data, static_cast<std::size_t>(n));
    return true;
}

bool from_py(PyObject* o, bool& out) {
    if (!PyBool_Check(o)) return raise_wrong_type(o, "bool");
    out = o == Py_True;
    return true;
}

bool from_py(PyObject* o, std::uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool from_py(PyObject* o, std::uint32_t& out) {
    std::uint64_t v = 0;
    if (!from_py(o, v)) return false;
    if (v > 0xFFFFFFFFull) {
        raise(PyExc_OverflowError, "int too large to convert to an unsigned 32-bit integer");
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool from_py(PyObject* o, std::int64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool from_py(PyObject* o, double& out) {
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool from_py(PyObject* o, StrictBytes& out) {
    if (!PyBytes_Check(o)) return raise_wrong_type(o, "bytes");
    char* data = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(o, &data, &n) < 0) return false;
    out.data.assign(reinterpret_cast<const std::uint8_t*>(data), reinterpret_cast<const std::uint8_t*>(data) + n);
    return true;
}

bool from_py(PyObject* o, LenientBytes& out) {
    if (PyBytes_Check(o)) {
        StrictBytes b;
        if (!from_py(o, b)) return false;
        out.data = std::move(b.data);
        return true;
    }
    if (PyByteArray_Check(o)) {
        const char* data = PyByteArray_AsString(o);
        Py_ssize_t n = PyByteArray_Size(o);
        if (data == nullptr || n < 0) return false;
        out.data.assign(reinterpret_cast<const std::uint8_t*>(data), reinterpret_cast<const std::uint8_t*>(data) + n);
        return true;
    }
    if (!detail::check_sequence_not_str(o, "a sequence of integers 0 to 255")) return false;
    Py_ssize_t n = PySequence_Size(o);
    if (n < 0) return false;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(o, i));
        if (!item) return false;
        if (!PyLong_Check(item.get())) return raise_wrong_type(item.get(), "int");
        long long v = PyLong_AsLongLong(item.get());
        if (v == -1 && PyErr_Occurred()) return false;
        if (v < 0 || v > 255) {
            raise(PyExc_OverflowError, "byte value " + std::to_string(v) + " out of range 0 to 255");
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(v));
    }
    out.data = std::move(bytes);
    return true;
}

bool from_py(PyObject* o, std::vector<std::string>& out) {
    if (!detail::check_sequence_not_str(o, "a sequence of str")) return false;
    Py_ssize_t n = PySequence_Size(o);
    if (n < 0) return false;
    std::vector<std::string> items;
    items.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(o, i));
        if (!item) return false;
        std::string s;
        if (!from_py(item.get(), s)) return false;
        items.push_back(std::move(s));
    }
    out = std::move(items);
    return true;
}

namespace detail {
bool check_sequence_not_str(PyObject* o, std::string_view what) {
    if (PyUnicode_Check(o) || !PySequence_Check(o)) return raise_wrong_type(o, what);
    return true;
}

bool raise_tuple_length(std::size_t expected, Py_ssize_t got) {
    raise(PyExc_ValueError,
          "expected tuple of length " + std::to_string(expected) + ", but got tuple of length " + std::to_string(got));
    return false;
}
}  // namespace detail

// ---------------------------------------------------------------------------
// Native -> Python

PyObject* to_py(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

PyObject* to_py_bytes(const std::uint8_t* data, std::size_t n) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(n));
}

PyObject* to_py(bool b) { return PyBool_FromLong(b ? 1 : 0); }
PyObject* to_py(double d) { return PyFloat_FromDouble(d); }
PyObject* to_py(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_py(std::int64_t v) { return PyLong_FromLongLong(v); }

PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

}  // namespace ostrel_py
