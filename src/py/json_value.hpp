#pragma once
// Conversion of a Python value into a generic JSON value, for documents that
// Python code hands over as dicts (policy dicts).
//
// Rules, first match wins, recursing into containers: None -> null; bool ->
// boolean; int -> unsigned if it fits 64 unsigned bits, else signed if it
// fits 64 signed bits, else "JSON number out of range"; list/tuple -> array;
// dict (str keys only) -> object in insertion order; str -> string;
// bytes/bytearray -> a binary value (which no document reader accepts);
// float -> number, NaN and infinities -> null; set/frozenset -> array in
// iteration order; any other sequence -> array; any other mapping -> object
// (the sequence and mapping checks of collections.abc);
// anything else -> "unsupported type: <qualified type name>".

#include "py/binding.hpp"

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>

namespace ostrel_py {

struct JsonConvertResult {
    bool ok = false;
    // Set when a conversion rule rejected the value. When ok is false and
    // error is empty, Python code run by the conversion (a custom __iter__,
    // keys(), ...) raised and its exception is pending: it is passed on as is.
    std::optional<std::string> error;
};

// Nesting deeper than this is rejected ("nesting too deep") rather than
// exhausting the native stack on self-referencing containers.
inline constexpr int kMaxJsonDepth = 256;

JsonConvertResult python_to_json(PyObject* value, nlohmann::json& out);

}  // namespace ostrel_py
