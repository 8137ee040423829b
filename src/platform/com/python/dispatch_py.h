// The Python face of the COM runtime: ComError, Dispatch (any COM object, late-bound),
// DispatchMethod and RunInHome, registered once by morvex_trader.platform.com; every
// module that hands COM objects to Python (the COM host, the simulator's control) imports
// that module first, so that one Dispatch type and one ComError serve them all.
#pragma once

#include <pybind11/pybind11.h>

namespace mx::com::py_glue {

// Registers ComError (with the translator that raises it for com::ComError), Dispatch,
// DispatchMethod and RunInHome in `m`. Once per process.
void BindDispatch(pybind11::module_& m);

// Imports morvex_trader.platform.com (where BindDispatch ran) and returns it.
pybind11::module_ ImportComModule();

}  // namespace mx::com::py_glue
