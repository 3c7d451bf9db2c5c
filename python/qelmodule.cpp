// The qel extension module: binds arguments, calls one core pipeline, and
// turns its result into a str or its Error into ValueError. No C++
// exception leaves this file.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "py_support.h"
#include "qel/api.h"
#include "qel/canonical.h"
#include "qel/syntax_tree.h"
#include "util/large_pages.h"
#include "util/utf8_convert.h"

namespace {

using qel::python::as_cfunction;
using qel::python::guarded;
using qel::python::kConvertedPerPoll;
using qel::python::PyRef;
using qel::python::raise_value_error;
using qel::python::Utf8Argument;

// Runs pending signal handlers; true when one raised (KeyboardInterrupt
// for Ctrl-C), its exception then set. The core asks this during long
// calls, so the interpreter lock is held as everywhere else.
bool signal_raised(void*) noexcept { return PyErr_CheckSignals() != 0; }

constexpr qel::Interrupter kSignals{signal_raised, nullptr};

bool is_ascii(std::string_view text) {
  return qel::detail::is_ascii(text.data(), text.size());
}

PyObject* raise_error(const qel::Error& error) {
  // Stopped by a signal handler's exception, which stays set.
  if (error.kind() == qel::ErrorKind::kInterrupted) {
    assert(PyErr_Occurred() != nullptr);
    return nullptr;
  }
  return raise_value_error(error.to_string());
}

PyObject* to_python(const qel::Result<std::string>& result) {
  if (!result.ok()) return raise_error(result.error());
  return PyUnicode_FromStringAndSize(
      result.value().data(), static_cast<Py_ssize_t>(result.value().size()));
}

// The str of the UTF-8 `text` (which the core wrote: valid), decoded a
// piece at a time with a look for signals between pieces, so that Ctrl-C
// does not wait for hundreds of megabytes; null with an exception set.
// The widest lead byte gives the str's kind and the non-continuation
// bytes its length, so that the characters are stored straight into a str
// made once, at its final size.
PyObject* decode_utf8(std::string_view text) {
  size_t continuation = 0;
  unsigned char widest = 0;
  for (size_t at = 0; at < text.size(); at += kConvertedPerPoll) {
    if (signal_raised(nullptr)) return nullptr;
    const qel::detail::Utf8Census piece = qel::detail::utf8_census(
        text.data() + at, std::min(text.size() - at, kConvertedPerPoll));
    continuation += piece.continuation_bytes;
    widest = std::max(widest, piece.widest_byte);
  }
  const Py_UCS4 widest_char = widest >= 0xF0   ? 0x10FFFF
                              : widest >= 0xC4 ? 0xFFFF
                              : widest >= 0x80 ? 0xFF
                                               : 0x7F;
  const auto length = static_cast<Py_ssize_t>(text.size() - continuation);
  PyRef str(PyUnicode_New(length, widest_char));
  if (str.get() == nullptr) return nullptr;
  void* const data = PyUnicode_DATA(str.get());
  const int kind = PyUnicode_KIND(str.get());
  // Up to four bytes a character: a str of tens of megabytes is mapped
  // afresh for every call, so it is faulted in a large page at a time.
  qel::detail::advise_large_pages(data, static_cast<size_t>(length) *
                                            static_cast<size_t>(kind));
  Py_ssize_t filled = 0;
  while (!text.empty()) {
    if (signal_raised(nullptr)) return nullptr;
    // A piece ends before a character's continuation bytes, never inside.
    size_t n = std::min(text.size(), kConvertedPerPoll);
    while (n < text.size() &&
           (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
      ++n;
    }
    const char* const first = text.data();
    const char* const last = first + n;
    // Characters may be stored ahead up to the str's end (not into its
    // terminating zero), where later pieces overwrite them.
    if (kind == PyUnicode_1BYTE_KIND) {
      Py_UCS1* at = static_cast<Py_UCS1*>(data) + filled;
      filled += qel::detail::decode_utf8_into(
                    first, last, at, static_cast<Py_UCS1*>(data) + length) -
                at;
    } else if (kind == PyUnicode_2BYTE_KIND) {
      Py_UCS2* at = static_cast<Py_UCS2*>(data) + filled;
      filled += qel::detail::decode_utf8_into(
                    first, last, at, static_cast<Py_UCS2*>(data) + length) -
                at;
    } else {
      Py_UCS4* at = static_cast<Py_UCS4*>(data) + filled;
      filled += qel::detail::decode_utf8_into(
                    first, last, at, static_cast<Py_UCS4*>(data) + length) -
                at;
    }
    text.remove_prefix(n);
  }
  if (filled != length) {
    PyErr_SetString(PyExc_SystemError, "qel: result length miscounted");
    return nullptr;
  }
  return str.release();
}

// Output written straight into the str that is returned, so that a result
// of many megabytes is written once and never copied: a compact ASCII str,
// grown in place (a large one by moving its pages, not its bytes) and cut
// to size at the end. A result that holds UTF-8 is decoded from these
// bytes into a new str.
class StrOutput final : public qel::Output {
 public:
  // `grows`: the writer cannot say the size up front (an execution), so
  // the room taken ahead is advised to take large pages as well; otherwise
  // (a contract's JSON, reserved once) only the room asked for is, so that
  // the last large page, faulted in whole, is not mostly empty.
  explicit StrOutput(bool grows, size_t input_size = 0)
      : grows_(grows), input_size_(input_size) {}

  // For a writer that does not note the UTF-8 it writes (the canonical
  // text's), finish() looks at every byte instead.
  void scan_for_utf8() { scan_ = true; }

  // The text as a str, or null with an exception set.
  PyObject* finish() {
    if (str_.get() == nullptr) return PyUnicode_FromStringAndSize("", 0);
    if (!grows_) last_call = {input_size_, size_};
    // The JSON writers note UTF-8 as they write it.
    assert(scan_ || non_ascii() || is_ascii(view()));
    if (non_ascii() || (scan_ && !is_ascii(view()))) {
      return decode_utf8(view());
    }
    PyObject* str = str_.release();
    if (PyUnicode_Resize(&str, static_cast<Py_ssize_t>(size_)) != 0) {
      Py_XDECREF(str);
      return nullptr;
    }
    return str;
  }

  // An execution's str, told its likely length part way, takes that room
  // in one step: a str that grows by doubling is moved each time to an
  // address that splits its large pages, and a result of hundreds of
  // megabytes is then faulted in a small page at a time.
  void expect(size_t total) noexcept override {
    if (!grows_ || total <= capacity_ || str_.get() == nullptr) return;
    PyObject* type;
    PyObject* value;
    PyObject* trace;
    PyErr_Fetch(&type, &value, &trace);
    if (resize(total)) {
      qel::detail::advise_large_pages_whole(data_, capacity_);
    } else {
      PyErr_Clear();  // the str is as it was; it grows step by step
    }
    PyErr_Restore(type, value, trace);
  }

 private:
  void grow(size_t total) override {
    // Past 256 KiB a str of unknown length (an execution's, or the first
    // on this thread) takes room for many megabytes: memory reserved this
    // way is mapped on its own, costs nothing until written, and grows by
    // remapping, where the heap would copy it at every doubling. Under a
    // tight address-space limit the plain doubling is tried as well. A
    // text function's str is otherwise made as long as expected().
    constexpr size_t kFirst = size_t{64} << 10;
    constexpr size_t kLarge = size_t{256} << 10;
    constexpr size_t kLargeFirst = size_t{64} << 20;
    const size_t doubled = std::max({total, 2 * capacity_, kFirst});
    const bool unknown = grows_ || last_call.input == 0;
    const size_t roomy = unknown && doubled > kLarge
                             ? std::max(doubled, kLargeFirst)
                             : std::max(doubled, expected(total));
    // An exception already pending (a signal handler's, as the call winds
    // down) is kept apart, so that only the first attempt's MemoryError is
    // cleared.
    PyObject* type;
    PyObject* value;
    PyObject* trace;
    PyErr_Fetch(&type, &value, &trace);
    bool done = resize(roomy);
    if (!done && roomy != doubled) {
      PyErr_Clear();
      done = resize(doubled);
    }
    if (!done) {
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(trace);
      throw std::bad_alloc();
    }
    PyErr_Restore(type, value, trace);
    if (grows_) {
      qel::detail::advise_large_pages_whole(data_, capacity_);
    } else {
      qel::detail::advise_large_pages(data_, total);
    }
  }

  // What a text function's str is first made: as long as the last one's
  // on this thread, scaled by the inputs' lengths (the very length for the
  // same input). The heap keeps the freed str's memory for a request of
  // at most that length, so a repeated call writes into pages already
  // faulted in; growing or cutting a str of another length would map
  // fresh ones every time.
  size_t expected(size_t total) const {
    if (str_.get() != nullptr || last_call.input == 0) return total;
    if (input_size_ == last_call.input) return std::max(total, last_call.output);
    // Another text: a sixteenth more, so that it seldom has to grow (and
    // be copied) at the end; what is not written is cut off.
    const double scaled = static_cast<double>(last_call.output) *
                          static_cast<double>(input_size_) /
                          static_cast<double>(last_call.input) * (17.0 / 16);
    if (!(scaled < 1e15)) return total;
    return std::max(total, static_cast<size_t>(scaled) + 4096);
  }

  // The str made `capacity` long, its first size() bytes kept; false with
  // MemoryError set when that cannot be had (the str is then as it was).
  bool resize(size_t capacity) {
    const auto length = static_cast<Py_ssize_t>(capacity);
    if (str_.get() == nullptr) {
      str_.reset(PyUnicode_New(length, 127));
      if (str_.get() == nullptr) return false;
    } else {
      PyObject* str = str_.release();
      const bool done = PyUnicode_Resize(&str, length) == 0;
      str_.reset(str);
      if (!done) return false;
    }
    data_ = static_cast<char*>(PyUnicode_DATA(str_.get()));
    capacity_ = capacity;
    return true;
  }

  struct Lengths {
    size_t input = 0;
    size_t output = 0;
  };
  static thread_local Lengths last_call;

  bool grows_;
  size_t input_size_;
  bool scan_ = false;
  PyRef str_;
};

thread_local StrOutput::Lengths StrOutput::last_call;

// The UTF-8 of a text function's str argument: a compact ASCII str's own
// bytes, or the str encoded a piece at a time (with a look for signals
// between pieces) into a block the thread keeps between calls, so that a
// repeated call on a text of many megabytes maps nothing afresh. A str
// that does not encode (a lone surrogate) goes to the plain encoder,
// whose exception names the position.
class TextArgument {
 public:
  TextArgument() = default;
  TextArgument(const TextArgument&) = delete;
  TextArgument& operator=(const TextArgument&) = delete;
  ~TextArgument() {
    if (buffer_ != nullptr) qel::detail::free_pages(buffer_, capacity_);
  }

  // False with an exception set.
  bool read(PyObject* str) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) return fallback_.read(str);
    if (!PyUnicode_IS_COMPACT(str)) return fallback_.read(str);
    const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    // The exact length first, so that the block is the same for the same
    // text every time (and no longer than the thread is to keep).
    size_t bytes = 0;
    for (size_t at = 0; at < length; at += kConvertedPerPoll) {
      if (signal_raised(nullptr)) return false;
      const size_t n = std::min(length - at, kConvertedPerPoll);
      bytes += kind == PyUnicode_1BYTE_KIND
                   ? qel::detail::utf8_length(
                         static_cast<const Py_UCS1*>(data) + at, n)
               : kind == PyUnicode_2BYTE_KIND
                   ? qel::detail::utf8_length(
                         static_cast<const Py_UCS2*>(data) + at, n)
                   : qel::detail::utf8_length(
                         static_cast<const Py_UCS4*>(data) + at, n);
    }
    try {
      capacity_ = std::max<size_t>(bytes, 1);
      buffer_ = static_cast<char*>(qel::detail::allocate_pages(capacity_));
    } catch (const std::bad_alloc&) {
      capacity_ = 0;
      return fallback_.read(str);
    }
    // Each piece is written within the room its characters count for.
    char* out = buffer_;
    for (size_t at = 0; at < length; at += kConvertedPerPoll) {
      if (signal_raised(nullptr)) return false;
      const size_t n = std::min(length - at, kConvertedPerPoll);
      out = kind == PyUnicode_1BYTE_KIND
                ? qel::detail::encode_utf8(
                      static_cast<const Py_UCS1*>(data) + at, n, out)
            : kind == PyUnicode_2BYTE_KIND
                ? qel::detail::encode_utf8(
                      static_cast<const Py_UCS2*>(data) + at, n, out)
                : qel::detail::encode_utf8(
                      static_cast<const Py_UCS4*>(data) + at, n, out);
      if (out == nullptr) return fallback_.read(str);
    }
    // The count sized the block: the vector stores rely on it.
    assert(static_cast<size_t>(out - buffer_) == bytes);
    text_ = std::string_view(buffer_, static_cast<size_t>(out - buffer_));
    return true;
  }

  std::string_view text() const {
    return buffer_ != nullptr && text_.data() == buffer_ ? text_
                                                         : fallback_.text();
  }

 private:
  char* buffer_ = nullptr;
  size_t capacity_ = 0;
  std::string_view text_;
  Utf8Argument fallback_;
};

// Binds the single `text` argument (positional or keyword, a str) to its
// UTF-8 text; false with an exception set. `format` is "U:<function name>".
bool bind_text(PyObject* args, PyObject* kwargs, const char* format,
               TextArgument& text) {
  static const char* keywords[] = {"text", nullptr};
  PyObject* text_obj = nullptr;
  return PyArg_ParseTupleAndKeywords(args, kwargs, format,
                                     const_cast<char**>(keywords),
                                     &text_obj) &&
         text.read(text_obj);
}

// Runs one core pipeline on the text argument.
template <qel::Result<std::string> (*Pipeline)(std::string_view,
                                                const qel::Interrupter&)>
PyObject* call_with_text(PyObject* args, PyObject* kwargs, const char* format) {
  TextArgument text;
  if (!bind_text(args, kwargs, format, text)) return nullptr;
  return guarded([&] { return to_python(Pipeline(text.text(), kSignals)); });
}

// The same for a pipeline that writes its text straight into the str that
// is returned; `scan` for one whose writer does not note its UTF-8.
template <std::optional<qel::Error> (*Pipeline)(
    std::string_view, qel::Output&, const qel::Interrupter&)>
PyObject* call_into_str(PyObject* args, PyObject* kwargs, const char* format,
                        bool scan) {
  TextArgument text;
  if (!bind_text(args, kwargs, format, text)) return nullptr;
  return guarded([&]() -> PyObject* {
    StrOutput out(false, text.text().size());
    if (scan) out.scan_for_utf8();
    if (const std::optional<qel::Error> error =
            Pipeline(text.text(), out, kSignals)) {
      return raise_error(*error);
    }
    return out.finish();
  });
}

// ---- Functions ----------------------------------------------------------

PyDoc_STRVAR(parse_contract_doc,
"parse_contract(text)\n"
"--\n"
"\n"
"Parse QEL contract text and return a JSON string of the parsed Contract.\n"
"\n"
"Args:\n"
"    text: QEL contract source text\n"
"\n"
"Returns:\n"
"    JSON string representation of the parsed Contract\n"
"\n"
"Raises:\n"
"    ValueError: If the contract text has syntax or semantic errors");

PyObject* parse_contract(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_into_str<qel::parse_contract_json>(args, kwargs,
                                                 "U:parse_contract", false);
}

PyDoc_STRVAR(normalize_doc,
"normalize(text)\n"
"--\n"
"\n"
"Normalize QEL contract text to canonical form.\n"
"\n"
"Guarantees:\n"
"  - Deterministic: same input \xe2\x86\x92 same output\n"
"  - Idempotent: normalize(normalize(x)) == normalize(x)\n"
"  - Semantic preserving: meaning is unchanged\n"
"\n"
"Args:\n"
"    text: QEL contract source text\n"
"\n"
"Returns:\n"
"    Canonical normalized QEL text\n"
"\n"
"Raises:\n"
"    ValueError: If the contract text cannot be parsed");

PyObject* normalize(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_into_str<qel::normalize>(args, kwargs, "U:normalize", true);
}

PyDoc_STRVAR(verify_doc,
"verify(text)\n"
"--\n"
"\n"
"Verify an QEL contract for correctness.\n"
"\n"
"Runs all verification phases:\n"
"  - Type checking\n"
"  - Invariant verification\n"
"  - Determinism checking\n"
"  - Coherence verification\n"
"\n"
"Args:\n"
"    text: QEL contract source text\n"
"\n"
"Returns:\n"
"    JSON string with verification result:\n"
"    {\n"
"        \"valid\": bool,\n"
"        \"errors\": [{\"severity\": \"error\", \"kind\": \"...\", \"message\": \"...\"}],\n"
"        \"warnings\": [{\"severity\": \"warning\", \"kind\": \"...\", \"message\": \"...\"}]\n"
"    }\n"
"\n"
"Raises:\n"
"    ValueError: If the contract text cannot be parsed");

PyObject* verify(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_into_str<qel::verify_json>(args, kwargs, "U:verify", false);
}

PyDoc_STRVAR(execute_doc,
"execute(text, inputs)\n"
"--\n"
"\n"
"Execute an QEL contract with the given inputs.\n"
"\n"
"Runs the contract in a sandboxed environment with:\n"
"  - Precondition evaluation\n"
"  - Resource limit enforcement\n"
"  - Postcondition verification\n"
"  - Full provenance logging\n"
"\n"
"Args:\n"
"    text: QEL contract source text\n"
"    inputs: JSON string with execution inputs\n"
"        Single request: {\"operation\": \"name\", \"inputs\": {...}}\n"
"        Multiple: [{\"operation\": \"name\", \"inputs\": {...}}, ...]\n"
"\n"
"Returns:\n"
"    JSON string with execution result including provenance log\n"
"\n"
"Raises:\n"
"    ValueError: If the contract cannot be parsed, verified, or executed");

PyObject* execute(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"text", "inputs", nullptr};
  PyObject* text_obj = nullptr;
  PyObject* inputs_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UU:execute",
                                   const_cast<char**>(keywords), &text_obj,
                                   &inputs_obj)) {
    return nullptr;
  }
  Utf8Argument text;
  if (!text.read(text_obj)) return nullptr;
  Utf8Argument inputs;
  if (!inputs.read(inputs_obj)) return nullptr;
  return guarded([&]() -> PyObject* {
    StrOutput out(true);
    if (const std::optional<qel::Error> error =
            qel::execute_json(text.text(), inputs.text(), out, kSignals)) {
      return raise_error(*error);
    }
    return out.finish();
  });
}

PyDoc_STRVAR(semantic_hash_doc,
"semantic_hash(text)\n"
"--\n"
"\n"
"Compute the SHA-256 semantic hash of a contract.\n"
"\n"
"The hash is computed from the normalized (canonical) form,\n"
"so semantically equivalent contracts produce the same hash.\n"
"\n"
"Args:\n"
"    text: QEL contract source text\n"
"\n"
"Returns:\n"
"    Hex-encoded SHA-256 hash string\n"
"\n"
"Raises:\n"
"    ValueError: If the contract text cannot be parsed");

PyObject* semantic_hash(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_with_text<qel::semantic_hash>(args, kwargs, "U:semantic_hash");
}

// ---- Module -------------------------------------------------------------


PyMethodDef qel_methods[] = {
    {"parse_contract", as_cfunction(parse_contract),
     METH_VARARGS | METH_KEYWORDS, parse_contract_doc},
    {"normalize", as_cfunction(normalize),
     METH_VARARGS | METH_KEYWORDS, normalize_doc},
    {"verify", as_cfunction(verify),
     METH_VARARGS | METH_KEYWORDS, verify_doc},
    {"execute", as_cfunction(execute),
     METH_VARARGS | METH_KEYWORDS, execute_doc},
    {"semantic_hash", as_cfunction(semantic_hash),
     METH_VARARGS | METH_KEYWORDS, semantic_hash_doc},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 (not -1): a re-import in the same interpreter calls PyInit_qel
// again instead of copying the module, so it gets the one cached object.
PyModuleDef qel_module = {
    PyModuleDef_HEAD_INIT,
    "qel",
    "QEL Python module \xe2\x80\x94 deterministic intent contract runtime",
    0,
    qel_methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* cached_module = nullptr;

}  // namespace

PyMODINIT_FUNC PyInit_qel(void) {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "qel: sub-interpreters are not supported");
    return nullptr;
  }
  if (cached_module != nullptr) {
    Py_INCREF(cached_module);
    return cached_module;
  }
  PyObject* module = PyModule_Create(&qel_module);
  if (module == nullptr) return nullptr;
  // The cache keeps its own reference for the life of the process.
  Py_INCREF(module);
  cached_module = module;
  return module;
}
