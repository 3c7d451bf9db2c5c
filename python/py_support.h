// Pieces both extension modules need: owned references, the UTF-8 text of
// a str argument, ValueError from a message, and the exception firewall.
#ifndef QEL_PYTHON_PY_SUPPORT_H_
#define QEL_PYTHON_PY_SUPPORT_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
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

// Characters (or bytes) converted between two looks for a pending signal:
// a few milliseconds at the slowest.
inline constexpr size_t kConvertedPerPoll = size_t{1} << 20;

// The UTF-8 text of a str argument, valid while this lives (and the str
// does: the call's arguments hold it; strs never change, so the text may
// be read with the interpreter lock released). A compact ASCII
// str is its own UTF-8 and is read in place; any other is encoded into a
// bytes object owned here, never into the UTF-8 copy that a str keeps for
// life once asked for it (a 10 MB argument would stay three times as big).
class Utf8Argument {
 public:
  // False with an exception set: UnicodeEncodeError for a str that cannot
  // be encoded (a lone surrogate), or a signal handler's.
  bool read(PyObject* str) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
      text_ = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                               static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
      return true;
    }
    PyObject* bytes = encode(str);
    if (bytes == nullptr) return false;
    encoded_.reset(bytes);
    text_ = std::string_view(PyBytes_AS_STRING(bytes),
                             static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    return true;
  }

  std::string_view text() const { return text_; }

 private:
  // The str's UTF-8, encoded a piece at a time with a look for signals
  // between pieces into room for the longest it can be (pages past the
  // end are never touched), then cut to size. A str that does not encode,
  // or room that cannot be had, goes to the plain encoder, whose exception
  // then names the position in the whole str.
  static PyObject* encode(PyObject* str) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    const int kind = PyUnicode_KIND(str);
    const Py_ssize_t widest =
        kind == PyUnicode_1BYTE_KIND ? 2 : kind == PyUnicode_2BYTE_KIND ? 3 : 4;
    if (length <= static_cast<Py_ssize_t>(kConvertedPerPoll) ||
        length > PY_SSIZE_T_MAX / widest) {
      return PyUnicode_AsUTF8String(str);
    }
    PyRef bytes(PyBytes_FromStringAndSize(nullptr, length * widest));
    if (bytes.get() == nullptr) {
      PyErr_Clear();
      return PyUnicode_AsUTF8String(str);
    }
    Py_ssize_t size = 0;
    for (Py_ssize_t at = 0; at < length;) {
      if (PyErr_CheckSignals() != 0) return nullptr;
      const Py_ssize_t end = std::min(
          length, at + static_cast<Py_ssize_t>(kConvertedPerPoll));
      PyRef piece(PyUnicode_Substring(str, at, end));
      PyRef utf8(piece.get() == nullptr ? nullptr
                                        : PyUnicode_AsUTF8String(piece.get()));
      if (utf8.get() == nullptr) {
        PyErr_Clear();
        return PyUnicode_AsUTF8String(str);
      }
      const Py_ssize_t n = PyBytes_GET_SIZE(utf8.get());
      std::memcpy(PyBytes_AS_STRING(bytes.get()) + size,
                  PyBytes_AS_STRING(utf8.get()), static_cast<size_t>(n));
      size += n;
      at = end;
    }
    // Freed, and null, when it cannot be cut.
    PyObject* cut = bytes.release();
    if (_PyBytes_Resize(&cut, size) != 0) return nullptr;
    return cut;
  }

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
