// The comhost module's binding areas; comhost_module.cpp calls each once.
#pragma once

#include <pybind11/pybind11.h>

namespace mx::comhost::bind {

void init_dispatch(pybind11::module_& m);  // Dispatch, ComError, the event table
void init_trace(pybind11::module_& m);     // Trace, AssertMessage, constants
void init_sinks(pybind11::module_& m);     // ManualResetEvent, CELSinkBase, SinkInternal
void init_host(pybind11::module_& m);      // ComHost, Start

}  // namespace mx::comhost::bind
