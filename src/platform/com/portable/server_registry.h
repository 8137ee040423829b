// The portable runtime's stand-in for the system registry: where a ProgID's in-process
// server and a type library's server are found, as Windows finds them under
// HKEY_CLASSES_ROOT.
//
// The registry is a folder of "*.server" files, one per server library, written when the
// server is installed (the build writes the simulator's). Each line is one entry:
//
//   library libmx_cqgcel.so                  the server, relative to the folder
//   progid CQG.CQGCEL.4                      a ProgID it serves
//   typelib {51F35562-...} 4.0               a type library it holds (id, major.minor)
//
// The folder is $MX_COM_REGISTRY when set, else "com_registry" beside the runtime's own
// library. For a ProgID the server's library is opened (dlopen) and its exported
// `mx_com_register_server` called: it registers its class objects and type libraries
// (RegisterClassObject, RegisterTypeLibrary). For a type library only its exported
// `mx_com_register_type_libraries` is called, which registers no class (as Windows reads
// a server's type library without running the server). Each entry point runs once.
//
// Thread-safety: any thread; loads are serialised.
#pragma once

#include <string_view>

namespace mx::com::portable {

// Loads the server that the registry names for ProgID `progid`; false when no entry names
// it. ComError (E_FAIL) when the library cannot be loaded or has no entry point.
bool LoadServerForProgId(std::string_view progid);
// The same for the type library `guid`, major version `major`, minor at least `minor`.
bool LoadServerForTypeLibrary(std::string_view guid, int major, int minor);

}  // namespace mx::com::portable
