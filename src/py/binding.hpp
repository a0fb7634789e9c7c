#pragma once
// The binding layer between CPython's limited (stable) C API and the native
// components. Everything a class file needs lives here, so that a class file
// holds its object struct, its methods and its type spec and nothing else:
//
//   * `Ref`: an owning reference to a Python object;
//   * error raising: "context: text" messages, the internal-fault exception,
//     `guarded()` which keeps C++ exceptions from crossing into the interpreter;
//   * borrow flags: the shared/exclusive re-entrancy check of each instance;
//   * `Object<Tag, T>` and `add_class()`: heap types that own one native value,
//     cannot be subclassed, have no __dict__ and no weak references;
//   * `Signature` and `Args`: one argument parser with CPython's wording for
//     arity errors and the "argument 'name': " prefix for conversion errors;
//   * `from_py()` / `to_py()`: the conversions between Python and native values.
//
// Every function here must be called with the interpreter lock held.

#ifndef Py_LIMITED_API
#error "the extension is built against the limited API; Py_LIMITED_API must be defined by the build"
#endif
#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace ostrel_py {

// ---------------------------------------------------------------------------
// Owning reference

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (may be null: a failed call).
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (for return values and stealing calls).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Errors

// Raises `type` with `message` (never empty) and returns nullptr, so that
// callers can write `return raise(...)`.
PyObject* raise(PyObject* type, std::string_view message);

// Raises `type` with "context: text"; an empty context gives just the text.
PyObject* raise_error(PyObject* type, std::string_view context, std::string_view text);

// Same, with the display text of a native error value.
template <class E>
    requires requires(const E& e) {
        { e.display() } -> std::convertible_to<std::string>;
    }
PyObject* raise_error(PyObject* type, std::string_view context, const E& error) {
    return raise_error(type, context, std::string(error.display()));
}

// The exception type for internal faults: derived directly from
// BaseException so that `except Exception` does not swallow it. Created at
// module initialisation and deliberately not a module attribute.
bool init_internal_fault_type();
PyObject* internal_fault_type() noexcept;

// Raises the internal-fault exception with `description`; returns nullptr.
PyObject* raise_internal_fault(std::string_view description) noexcept;

// Turns the C++ exception being handled into a Python exception: bad_alloc
// becomes MemoryError, anything else the internal fault. If raising fails
// itself, the process aborts: there is no sane state to return to.
void raise_current_exception() noexcept;

// The value a Python-facing function returns on failure.
template <class R>
constexpr R failure_value() noexcept {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return static_cast<R>(-1);
    }
}

// Runs `body` so that no C++ exception reaches the interpreter.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
    using R = decltype(body());
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return failure_value<R>();
    }
}

// The qualified name of an object's type ("int", "datetime", ...).
std::string type_name(PyObject* o);

// The str() text of an object, or nullopt with a Python error set.
std::optional<std::string> str_of(PyObject* o);

// ---------------------------------------------------------------------------
// Borrow flags
//
// A method that mutates its instance takes an exclusive borrow; every other
// method takes a shared one. Python code run by a conversion (__float__,
// __str__, ...) can re-enter the same instance; the flag turns such a
// re-entrant call into a RuntimeError instead of a data race.

struct BorrowFlag {
    Py_ssize_t state = 0;  // > 0: that many shared borrows; -1: exclusive
};

class Borrow {
public:
    // Empty (and a RuntimeError raised) if the borrow cannot be given now.
    static Borrow shared(BorrowFlag& flag);
    static Borrow exclusive(BorrowFlag& flag);

    Borrow(Borrow&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)), exclusive_(o.exclusive_) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow();
    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    Borrow(BorrowFlag* flag, bool exclusive) noexcept : flag_(flag), exclusive_(exclusive) {}
    BorrowFlag* flag_;
    bool exclusive_;
};

// ---------------------------------------------------------------------------
// Objects and classes

// The instance layout of a class that owns one native value of type T. `Tag`
// makes two classes wrapping the same native type distinct.
template <class Tag, class T>
struct Object {
    PyObject_HEAD
    BorrowFlag borrow;
    alignas(T) unsigned char storage[sizeof(T)];

    using native_type = T;
    // The class object, set by add_class() at module initialisation.
    static inline PyTypeObject* type = nullptr;
    static inline const char* class_name = nullptr;

    T& value() noexcept { return *std::launder(reinterpret_cast<T*>(storage)); }
    const T& value() const noexcept { return *std::launder(reinterpret_cast<const T*>(storage)); }
};

template <class O>
concept ClassObject = requires(O* o) {
    typename O::native_type;
    { O::type } -> std::convertible_to<PyTypeObject*>;
    { o->value() } -> std::same_as<typename O::native_type&>;
};

template <ClassObject O>
O* as(PyObject* o) noexcept {
    return reinterpret_cast<O*>(o);
}

// Allocates an instance of `type` and constructs its native value in place.
// Returns nullptr with a Python error set on failure.
template <ClassObject O, class... A>
PyObject* make_instance(PyTypeObject* type, A&&... args) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    O* obj = as<O>(self);
    obj->borrow = BorrowFlag{};
    try {
        ::new (static_cast<void*>(obj->storage)) typename O::native_type(std::forward<A>(args)...);
    } catch (...) {
        // The native value never existed: free the raw instance.
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_fn(self);
        Py_DECREF(reinterpret_cast<PyObject*>(type));
        throw;
    }
    return self;
}

// A new instance of O's registered class.
template <ClassObject O, class... A>
PyObject* new_instance(A&&... args) {
    if (O::type == nullptr) return raise_internal_fault("class used before the module registered it");
    return make_instance<O>(O::type, std::forward<A>(args)...);
}

// tp_dealloc of every class: drops the native value, frees the instance and
// then the reference the instance held on its heap type.
template <ClassObject O>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    using T = typename O::native_type;
    as<O>(self)->value().~T();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(self);
    Py_DECREF(reinterpret_cast<PyObject*>(tp));
}

// Method tables store every C function as PyCFunction; going through a
// plain function pointer type keeps the compiler from warning about it.
template <class F>
PyCFunction as_cfunction(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// A property getter for class O computed from the native value by `Fn`
// (a captureless callable taking `const T&` and returning a new reference).
template <ClassObject O, auto Fn>
PyObject* getter(PyObject* self, void*) noexcept {
    return guarded([&]() -> PyObject* { return Fn(as<O>(self)->value()); });
}

// tp_dealloc of a class whose native value holds Python objects (callables,
// instances) and which is therefore registered with Py_TPFLAGS_HAVE_GC and
// tp_traverse / tp_clear slots: untracks the instance before dropping it.
template <ClassObject O>
void dealloc_gc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    dealloc<O>(self);
}

// tp_new of a class without a constructor.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Everything add_class() needs to make one heap type.
struct ClassSpec {
    const char* name;          // the bare class name; a string literal
    const char* doc;           // starts with the text signature, then "--" and an empty line
    int basicsize;             // sizeof the object struct
    newfunc tp_new;            // nullptr: calling the class raises TypeError
    destructor tp_dealloc;
    PyMethodDef* methods = nullptr;   // null-terminated, static
    PyGetSetDef* getset = nullptr;    // null-terminated, static
    reprfunc repr = nullptr;
    unsigned long extra_flags = 0;    // e.g. Py_TPFLAGS_HAVE_GC
    std::vector<PyType_Slot> extra_slots = {};  // e.g. tp_traverse, tp_clear
};

// Creates the class, sets its __module__ and adds it to `module` under its
// name. Returns the (immortal for our purposes) type or nullptr with an
// exception set. The module keeps one reference, the caller's static another.
PyTypeObject* add_class(PyObject* module, const ClassSpec& spec);

template <ClassObject O>
bool register_class(PyObject* module, const ClassSpec& spec) {
    PyTypeObject* t = add_class(module, spec);
    if (t == nullptr) return false;
    O::type = t;
    O::class_name = spec.name;
    return true;
}

// Adds a module-level function (a static PyMethodDef whose docstring starts
// with its text signature, without $module). Returns false with an
// exception set on failure.
bool add_function(PyObject* module, PyMethodDef* def);

// The module's name, used for __module__ of every class.
inline constexpr const char* kModuleName = "_ostrel_engine";

// ---------------------------------------------------------------------------
// Argument parsing

// A callable's parameter list, read from its text signature so that what the
// parser enforces and what inspect.signature() shows cannot disagree.
class Signature {
public:
    // `qualname` names the callable in arity errors ("Gate.evaluate");
    // `doc` is the docstring whose first line is "name(params)".
    Signature(const char* qualname, const char* doc);

    struct Param {
        std::string name;
        bool required;
        bool keyword_only;
    };

    const std::string& qualname() const noexcept { return qualname_; }
    const std::vector<Param>& params() const noexcept { return params_; }
    std::size_t positional_count() const noexcept { return positional_; }

private:
    std::string qualname_;
    std::vector<Param> params_;
    std::size_t positional_ = 0;
};

class Args;

// Python -> native conversions. Each returns false with a Python exception
// set; a TypeError is given the argument prefix by Args::get().

struct StrictBytes {
    std::vector<std::uint8_t> data;
};
struct LenientBytes {
    std::vector<std::uint8_t> data;
};

// Raises TypeError "expected <expected>, got '<type of o>'"; returns false.
bool raise_wrong_type(PyObject* o, std::string_view expected);

bool from_py(PyObject* o, std::string& out);      // str only
bool from_py(PyObject* o, bool& out);             // bool only
bool from_py(PyObject* o, std::uint64_t& out);    // __index__, 0 .. 2^64-1
bool from_py(PyObject* o, std::uint32_t& out);    // __index__, 0 .. 2^32-1
bool from_py(PyObject* o, std::int64_t& out);     // __index__, signed 64-bit
bool from_py(PyObject* o, double& out);           // float, int, __float__
bool from_py(PyObject* o, StrictBytes& out);      // bytes only
bool from_py(PyObject* o, LenientBytes& out);     // any sequence of 0..255 but str
bool from_py(PyObject* o, std::vector<std::string>& out);  // sequence (not str) of str

// Any object, borrowed for the duration of the call.
inline bool from_py(PyObject* o, PyObject*& out) {
    out = o;
    return true;
}

// An instance of exactly the class O (borrowed).
template <ClassObject O>
bool from_py(PyObject* o, O*& out) {
    if (O::type != nullptr && Py_TYPE(o) == O::type) {
        out = as<O>(o);
        return true;
    }
    raise_wrong_type(o, O::class_name != nullptr ? O::class_name : "module class");
    return false;
}

template <class T>
bool from_py(PyObject* o, std::optional<T>& out) {
    if (o == Py_None) {
        out.reset();
        return true;
    }
    T v{};
    if (!from_py(o, v)) return false;
    out = std::move(v);
    return true;
}

namespace detail {
bool check_sequence_not_str(PyObject* o, std::string_view what);
bool raise_tuple_length(std::size_t expected, Py_ssize_t got);

template <class Tuple, std::size_t... I>
bool tuple_items(PyObject* t, Tuple& out, std::index_sequence<I...>) {
    return (from_py(PyTuple_GetItem(t, static_cast<Py_ssize_t>(I)), std::get<I>(out)) && ...);
}
}  // namespace detail

// A sequence (not str) of tuples of exactly sizeof...(Ts) items.
template <class... Ts>
bool from_py(PyObject* o, std::vector<std::tuple<Ts...>>& out) {
    if (!detail::check_sequence_not_str(o, "a sequence of tuples")) return false;
    Py_ssize_t n = PySequence_Size(o);
    if (n < 0) return false;
    std::vector<std::tuple<Ts...>> result;
    result.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(o, i));
        if (!item) return false;
        if (!PyTuple_Check(item.get())) return raise_wrong_type(item.get(), "tuple");
        Py_ssize_t len = PyTuple_Size(item.get());
        if (len != static_cast<Py_ssize_t>(sizeof...(Ts))) return detail::raise_tuple_length(sizeof...(Ts), len);
        std::tuple<Ts...> t;
        if (!detail::tuple_items(item.get(), t, std::index_sequence_for<Ts...>{})) return false;
        result.push_back(std::move(t));
    }
    out = std::move(result);
    return true;
}

// The parsed arguments of one call: one borrowed slot per parameter, null
// where the caller gave nothing.
class Args {
public:
    // Matches positional and keyword arguments to the signature. Returns false
    // with a TypeError in CPython's wording (missing, unexpected, duplicate,
    // too many) set.
    bool parse(const Signature& sig, PyObject* args, PyObject* kwargs);

    bool given(std::size_t i) const noexcept { return slots_[i] != nullptr; }
    PyObject* operator[](std::size_t i) const noexcept { return slots_[i]; }

    // Converts parameter i into `out` if it was given (else `out` keeps its
    // default). A conversion TypeError is replaced by one prefixed
    // "argument '<name>': " whose cause is the original.
    template <class T>
    bool get(std::size_t i, T& out) const {
        if (slots_[i] == nullptr) return true;
        if (from_py(slots_[i], out)) return true;
        prefix_type_error(i);
        return false;
    }

private:
    void prefix_type_error(std::size_t i) const;

    const Signature* sig_ = nullptr;
    std::vector<PyObject*> slots_;
};

// Adds the argument prefix to a pending TypeError (used when a parameter is
// converted outside Args::get, e.g. in several attempts).
void prefix_argument_type_error(std::string_view param);

// ---------------------------------------------------------------------------
// Native -> Python conversions. Each returns a new reference or nullptr with
// a Python error set.

PyObject* to_py(std::string_view s);
// Without this overload a string literal would pick to_py(bool).
inline PyObject* to_py(const char* s) { return to_py(std::string_view(s)); }
PyObject* to_py_bytes(const std::uint8_t* data, std::size_t n);
inline PyObject* to_py_bytes(const std::vector<std::uint8_t>& v) { return to_py_bytes(v.data(), v.size()); }
PyObject* to_py(bool b);
PyObject* to_py(double d);
PyObject* to_py(std::uint64_t v);
PyObject* to_py(std::int64_t v);
PyObject* none();

template <class T>
PyObject* to_py(const std::optional<T>& v) {
    if (!v) return none();
    return to_py(*v);
}

}  // namespace ostrel_py
