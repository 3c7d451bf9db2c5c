// Pieces both extension modules need: owned references, the UTF-8 text of
// a str argument, ValueError from a message, and the exception firewall.
#ifndef QEL_PYTHON_PY_SUPPORT_H_
#define QEL_PYTHON_PY_SUPPORT_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <string_view>

namespace qel::python {

// An owned reference, released on every path.
class PyRef {
 public:
  explicit PyRef(PyObject* obj = nullptr) : obj_(obj) {}
  ~PyRef() { Py_XDECREF(obj_); }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;

  PyObject* get() const { return obj_; }
  // Takes over `obj`, releasing the reference held before.
  void reset(PyObject* obj) {
    Py_XDECREF(obj_);
    obj_ = obj;
  }
  // Hands the reference back to Python.
  PyObject* release() {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }

 private:
  PyObject* obj_;
};

// The UTF-8 text of a str argument, valid while this lives (and the str
// does: the call's arguments hold it). A compact ASCII str is its own UTF-8
// and is read in place; any other is encoded into a bytes object owned
// here, never into the UTF-8 copy that a str keeps for life once asked for
// it (a 10 MB argument would stay three times as big). Strs never change,
// so the text may be read with the interpreter lock released.
class Utf8Argument {
 public:
  // False with UnicodeEncodeError set for a str that cannot be encoded (a
  // lone surrogate).
  bool read(PyObject* str) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
      text_ = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                               static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
      return true;
    }
    PyObject* bytes = PyUnicode_AsUTF8String(str);
    if (bytes == nullptr) return false;
    encoded_.reset(bytes);
    text_ = std::string_view(PyBytes_AS_STRING(bytes),
                             static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    return true;
  }

  std::string_view text() const { return text_; }

 private:
  PyRef encoded_;
  std::string_view text_;
};

inline PyObject* raise_value_error(const std::string& message) {
  PyRef text(PyUnicode_FromStringAndSize(
      message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text.get() == nullptr) return nullptr;
  PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

// Runs a wrapper body behind the exception firewall: no C++ exception
// reaches the interpreter.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_value_error(std::string("Internal error: ") + e.what());
  } catch (...) {
    return raise_value_error("Internal error");
  }
}

// The table's type names two parameters; METH_KEYWORDS functions take
// three. The detour through void(*)() is the sanctioned way to store them.
template <typename F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace qel::python

#endif  // QEL_PYTHON_PY_SUPPORT_H_
