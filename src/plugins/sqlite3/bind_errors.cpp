// Native errors become Python exceptions here, and only here: SQLite failures and runner
// misuse as the standard library's sqlite3 classes (so a host catching sqlite3.Error keeps
// working), bad SQL-builder input as ValueError, lock re-entry as RuntimeError.
#include <sqlite3.h>

#include "plugins/sqlite3/bind_db.h"
#include "plugins/sqlite3/sqlite_error.h"
#include "plugins/sqlite3/statement_lock.h"

namespace mx::sqlite::bind {
namespace {

// The sqlite3 class for a primary result code, as Python's own sqlite3 module picks it.
const char* class_for_code(int code) {
  switch (code) {
    case SQLITE_INTERNAL:
    case SQLITE_NOTFOUND:
      return "InternalError";
    case SQLITE_ERROR:
    case SQLITE_PERM:
    case SQLITE_ABORT:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_READONLY:
    case SQLITE_INTERRUPT:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
    case SQLITE_EMPTY:
    case SQLITE_SCHEMA:
      return "OperationalError";
    case SQLITE_TOOBIG:
      return "DataError";
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
      return "IntegrityError";
    case SQLITE_MISUSE:
    case SQLITE_RANGE:
      return "InterfaceError";
    default:
      return "DatabaseError";
  }
}

// Sets the Python error sqlite3.<class_name>(message), with the result code attached as
// Python's sqlite3 attaches it when `extended_code` is given.
void set_sqlite3_error(const char* class_name, const std::string& message, int extended_code) {
  try {
    py::object cls = py::module_::import("sqlite3").attr(class_name);
    py::object error = cls(message);
    if (extended_code >= 0) {
      error.attr("sqlite_errorcode") = extended_code;
      error.attr("sqlite_errorname") = error_code_name(extended_code);
    }
    PyErr_SetObject(cls.ptr(), error.ptr());
  } catch (py::error_already_set& e) {
    e.restore();
  }
}

}  // namespace

void raise_sqlite3_error(const char* class_name, const std::string& message) {
  set_sqlite3_error(class_name, message, -1);
  throw py::error_already_set();
}

void init_errors(py::module_&) {
  py::register_local_exception_translator([](std::exception_ptr pending) {
    try {
      std::rethrow_exception(pending);
    } catch (const SqliteError& e) {
      if (e.code() == SQLITE_NOMEM) {
        PyErr_NoMemory();
        return;
      }
      set_sqlite3_error(class_for_code(e.code()), e.what(), e.extended_code());
    } catch (const UsageError& e) {
      set_sqlite3_error("ProgrammingError", e.what(), -1);
    } catch (const SqlInputError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const LockReentryError& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    }
  });
}

}  // namespace mx::sqlite::bind
