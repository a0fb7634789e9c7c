#pragma once
// Registration entry points of the module's classes. Each adds one class (or
// the module function) to the module and returns false with a Python
// exception set on failure. module.cpp calls them in the module's fixed order.

#include "py/binding.hpp"

namespace ostrel_py {

// Gate, context and verdict classes (gate.cpp, context.cpp, verdict.cpp).
bool register_gate(PyObject* module);
bool register_action_context(PyObject* module);
bool register_geo_location(PyObject* module);
bool register_device_fingerprint(PyObject* module);
bool register_verdict(PyObject* module);
bool register_permit_token(PyObject* module);

}  // namespace ostrel_py
