// qelkit's module functions check, format and diff, and the types of their
// results; qelkit.cpp puts them into the module.
#ifndef QEL_PYTHON_QELKIT_CHECK_H_
#define QEL_PYTHON_QELKIT_CHECK_H_

#include "py_support.h"

namespace qel::python {

// check, format and diff, ended by a null entry.
extern PyMethodDef check_methods[];

// Readies Finding and Change and adds them to `module`; false with an
// exception set.
bool add_check_types(PyObject* module);

}  // namespace qel::python

#endif  // QEL_PYTHON_QELKIT_CHECK_H_
