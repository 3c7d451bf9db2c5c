// The qelkit extension module: compiled contracts and sessions, beside the
// qel module's five functions. A Contract is parsed once and immutable; a
// Session carries state between calls. Unlike qel, the core runs with the
// interpreter lock released, so threads using contracts run at once; the
// lock is taken back now and then to let Ctrl-C through. No C++ exception
// leaves this file.
#include "py_support.h"
#include "lock_release.h"
#include "qelkit_check.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "qel/api.h"
#include "qel/canonical.h"
#include "qel/compiled.h"
#include "qel/format.h"
#include "qel/model.h"

namespace {

using qel::python::as_cfunction;
using qel::python::main_thread_ident;
using qel::python::raise_error;
using qel::python::read_main_thread_ident;
using qel::python::Released;
using qel::python::guarded;
using qel::python::PyRef;
using qel::python::raise_value_error;
using qel::python::Utf8Argument;

PyObject* to_str(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                              nullptr);
}

// Whether every byte of `text` is ASCII, eight at a time.
bool is_ascii(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  for (; end - p >= 8; p += 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if ((word & 0x8080808080808080ULL) != 0) return false;
  }
  for (; p < end; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80) return false;
  }
  return true;
}

// Output into memory of its own, grown without the interpreter lock (a
// str cannot be) and never filled ahead of the writer: the text is then
// copied once into the str returned.
class BufferOutput final : public qel::Output {
 public:
  // Starts in the memory the thread's last call left, if any.
  BufferOutput() {
    Spare& spare = spare_;
    if (spare.data != nullptr) {
      owned_ = spare.data;
      data_ = owned_;
      capacity_ = spare.capacity;
      spare.data = nullptr;
    }
  }
  // Small buffers are left to the thread's next call rather than freed:
  // a call of one request then needs no memory of its own.
  ~BufferOutput() {
    Spare& spare = spare_;
    if (capacity_ <= kKept && spare.data == nullptr) {
      spare.data = owned_;
      spare.capacity = capacity_;
    } else {
      std::free(owned_);
    }
  }

  // The text as a str, or null with an exception set. `noted`: the writer
  // notes the UTF-8 it writes (the result writers do), so an ASCII text is
  // copied as it is; any other text is looked at first.
  PyObject* to_str(bool noted) const {
    const auto length = static_cast<Py_ssize_t>(size_);
    if (non_ascii() || (!noted && !is_ascii(view()))) {
      return PyUnicode_DecodeUTF8(data_, length, nullptr);
    }
    PyObject* str = PyUnicode_New(length, 127);
    if (str == nullptr) return nullptr;
    std::memcpy(PyUnicode_DATA(str), data_, size_);
    return str;
  }

 private:
  void grow(std::size_t total) override {
    const std::size_t wanted = std::max({total, 2 * capacity_, kFirst});
    void* moved = std::realloc(owned_, wanted);
    if (moved == nullptr) throw std::bad_alloc();
    owned_ = static_cast<char*>(moved);
    data_ = owned_;
    capacity_ = wanted;
  }

  struct Spare {
    char* data = nullptr;
    std::size_t capacity = 0;
    ~Spare() { std::free(data); }
  };

  static constexpr std::size_t kFirst = 256;
  static constexpr std::size_t kKept = std::size_t{256} << 10;
  // Taken while a call writes (a nested call, from a signal handler,
  // finds it empty and grows its own).
  static thread_local Spare spare_;
  char* owned_ = nullptr;
};

thread_local BufferOutput::Spare BufferOutput::spare_;

// Runs `body(out, interrupter)` with the lock released, writing into a
// buffer of its own, and returns the text as a str or raises the Error.
// `noted`: the body's writer notes the UTF-8 it writes.
template <typename Body>
PyObject* call_released(Body&& body, bool noted = false) {
  return guarded([&]() -> PyObject* {
    BufferOutput out;
    std::optional<qel::Error> error;
    {
      Released released;
      error = body(static_cast<qel::Output&>(out), released.interrupter());
    }
    if (error.has_value()) return raise_error(*error);
    return out.to_str(noted);
  });
}

// The same for a body that returns a Result<std::string>.
template <typename Body>
PyObject* call_released_result(Body&& body) {
  return call_released(
      [&](qel::Output& out,
          const qel::Interrupter& interrupter) -> std::optional<qel::Error> {
        qel::Result<std::string> result = body(interrupter);
        if (!result.ok()) return std::move(result).error();
        out.append(result.value());
        return std::nullopt;
      });
}

// ---- Contract -------------------------------------------------------------

struct ContractObject {
  PyObject_HEAD
  qel::CompiledContractRef compiled;
};

extern PyTypeObject ContractType;
extern PyTypeObject SessionType;

const qel::CompiledContract& compiled_of(PyObject* self) {
  return *reinterpret_cast<ContractObject*>(self)->compiled;
}

PyObject* Contract_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"text", nullptr};
  PyObject* text_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:Contract",
                                   const_cast<char**>(keywords), &text_obj)) {
    return nullptr;
  }
  Utf8Argument text;
  if (!text.read(text_obj)) return nullptr;
  return guarded([&]() -> PyObject* {
    std::optional<qel::Result<qel::CompiledContractRef>> compiled;
    {
      Released released;
      compiled.emplace(qel::CompiledContract::compile(text.text(),
                                                      released.interrupter()));
    }
    if (!compiled->ok()) return raise_error(compiled->error());
    PyRef self(type->tp_alloc(type, 0));
    if (self.get() == nullptr) return nullptr;
    new (&reinterpret_cast<ContractObject*>(self.get())->compiled)
        qel::CompiledContractRef(std::move(*compiled).value());
    return self.release();
  });
}

void Contract_dealloc(PyObject* self) {
  reinterpret_cast<ContractObject*>(self)->compiled.~shared_ptr();
  Py_TYPE(self)->tp_free(self);
}

PyObject* Contract_repr(PyObject* self) {
  const qel::Identity& identity = compiled_of(self).contract().identity;
  PyRef id(to_str(identity.stable_id));
  if (id.get() == nullptr) return nullptr;
  return PyUnicode_FromFormat("<qelkit.Contract %R version %lu>", id.get(),
                              static_cast<unsigned long>(identity.version));
}

PyObject* Contract_stable_id(PyObject* self, void*) {
  return to_str(compiled_of(self).contract().identity.stable_id);
}

PyObject* Contract_version(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(compiled_of(self).contract().identity.version);
}

PyObject* Contract_semantic_hash(PyObject* self, void*) {
  return to_str(compiled_of(self).semantic_hash());
}

PyObject* Contract_to_json(PyObject* self, PyObject*) {
  const qel::CompiledContract& compiled = compiled_of(self);
  return call_released(
      [&](qel::Output& out, const qel::Interrupter&) -> std::optional<qel::Error> {
        std::string text;
        qel::write_contract_json(compiled.contract(), text);
        out.append(text);
        return std::nullopt;
      });
}

PyObject* Contract_normalize(PyObject* self, PyObject*) {
  const std::string& source = compiled_of(self).source();
  return call_released([&](qel::Output& out, const qel::Interrupter& interrupter) {
    return qel::normalize(source, out, interrupter);
  });
}

PyObject* Contract_verify(PyObject* self, PyObject*) {
  const std::string& source = compiled_of(self).source();
  return call_released([&](qel::Output& out, const qel::Interrupter& interrupter) {
    return qel::verify_json(source, out, interrupter);
  });
}

PyObject* Contract_format(PyObject* self, PyObject*) {
  const std::string& source = compiled_of(self).source();
  return call_released_result([&](const qel::Interrupter&) {
    // The safety net of `qel fmt`: a caller may write the text to a file.
    qel::Rewrite r = qel::format_checked(source);
    if (!r.text.ok() || r.fault.empty()) return std::move(r.text);
    return qel::Result<std::string>(qel::Error::normalization_error(
        "internal error: the formatted text is not the same contract (" +
        r.fault + "); please report this as a bug, with the contract"));
  });
}

// Binds (inputs, check_inputs=False); false with an exception set.
bool bind_inputs(PyObject* args, PyObject* kwargs, const char* format,
                 Utf8Argument& inputs, qel::RunOptions& options) {
  static const char* keywords[] = {"inputs", "check_inputs", nullptr};
  PyObject* inputs_obj = nullptr;
  int check = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format,
                                   const_cast<char**>(keywords), &inputs_obj,
                                   &check)) {
    return false;
  }
  options.check_inputs = check != 0;
  return inputs.read(inputs_obj);
}

PyObject* Contract_execute(PyObject* self, PyObject* args, PyObject* kwargs) {
  Utf8Argument inputs;
  qel::RunOptions options;
  if (!bind_inputs(args, kwargs, "U|p:execute", inputs, options)) return nullptr;
  const qel::CompiledContract& compiled = compiled_of(self);
  return call_released(
      [&](qel::Output& out, const qel::Interrupter& interrupter) {
        options.interrupter = interrupter;
        return compiled.execute(inputs.text(), out, options);
      },
      /*noted=*/true);
}

PyObject* new_session(PyObject* contract, qel::Session session);

PyObject* Contract_session(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"state", "next_sequence", nullptr};
  PyObject* state_obj = Py_None;
  PyObject* sequence_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$O!:session",
                                   const_cast<char**>(keywords), &state_obj,
                                   &PyLong_Type, &sequence_obj)) {
    return nullptr;
  }
  uint64_t sequence = 0;
  if (sequence_obj != nullptr) {
    sequence = PyLong_AsUnsignedLongLong(sequence_obj);
    if (PyErr_Occurred()) return nullptr;
  }
  Utf8Argument state_text;
  if (state_obj != Py_None) {
    if (!PyUnicode_Check(state_obj)) {
      PyErr_Format(PyExc_TypeError,
                   "session() argument 'state' must be str or None, not %.200s",
                   Py_TYPE(state_obj)->tp_name);
      return nullptr;
    }
    if (!state_text.read(state_obj)) return nullptr;
  }
  const qel::CompiledContractRef& compiled =
      reinterpret_cast<ContractObject*>(self)->compiled;
  return guarded([&]() -> PyObject* {
    if (state_obj == Py_None) return new_session(self, qel::Session(compiled));
    std::optional<qel::Result<qel::ExecutionState>> state;
    {
      Released released;
      state.emplace(qel::read_state_json(state_text.text()));
    }
    if (!state->ok()) return raise_error(state->error());
    return new_session(
        self, qel::Session(compiled, std::move(*state).value(), sequence));
  });
}

PyDoc_STRVAR(Contract_doc,
"Contract(text)\n"
"--\n"
"\n"
"A contract parsed once, to run and inspect many times.\n"
"\n"
"Raises ValueError, with the message parse_contract gives, for a text that\n"
"does not parse. Immutable; any number of threads may use one at once, and\n"
"its methods run without holding the interpreter lock.");

PyDoc_STRVAR(to_json_doc,
"to_json($self, /)\n--\n\n"
"The contract's JSON, as qel.parse_contract(text) returns it.");
PyDoc_STRVAR(normalize_doc,
"normalize($self, /)\n--\n\n"
"The canonical text, as qel.normalize(text) returns it.");
PyDoc_STRVAR(verify_doc,
"verify($self, /)\n--\n\n"
"The verification JSON, as qel.verify(text) returns it.");
PyDoc_STRVAR(format_doc,
"format($self, /)\n--\n\n"
"The formatted text, as the command `qel fmt` writes it.");
PyDoc_STRVAR(execute_doc,
"execute($self, /, inputs, check_inputs=False)\n--\n\n"
"Run requests from the initial state: the result document of\n"
"qel.execute(text, inputs). Equal results for equal requests, so comparing\n"
"with a stored result audits it.\n"
"\n"
"With check_inputs, each input naming a parameter must have the declared\n"
"type, and each input must name a parameter or a state field; otherwise\n"
"that request fails with a message naming the input, the type and the\n"
"value.");
PyDoc_STRVAR(session_doc,
"session($self, /, state=None, *, next_sequence=0)\n--\n\n"
"A Session starting from the initial state, or from `state`, a JSON object\n"
"text such as a previous final_state or Session.state; provenance entries\n"
"are numbered from next_sequence. ValueError for a state that is not a\n"
"JSON object.");

PyMethodDef Contract_methods[] = {
    {"to_json", Contract_to_json, METH_NOARGS, to_json_doc},
    {"normalize", Contract_normalize, METH_NOARGS, normalize_doc},
    {"verify", Contract_verify, METH_NOARGS, verify_doc},
    {"format", Contract_format, METH_NOARGS, format_doc},
    {"execute", as_cfunction(Contract_execute), METH_VARARGS | METH_KEYWORDS,
     execute_doc},
    {"session", as_cfunction(Contract_session), METH_VARARGS | METH_KEYWORDS,
     session_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Contract_getset[] = {
    {"stable_id", Contract_stable_id, nullptr,
     PyDoc_STR("The stable_id of the contract's Identity."), nullptr},
    {"version", Contract_version, nullptr,
     PyDoc_STR("The version of the contract's Identity."), nullptr},
    {"semantic_hash", Contract_semantic_hash, nullptr,
     PyDoc_STR("The semantic hash computed from the text, as "
               "qel.semantic_hash(text) returns it."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject ContractType = [] {
  PyTypeObject t{};
  Py_SET_REFCNT(&t.ob_base.ob_base, 1);
  t.tp_name = "qelkit.Contract";
  t.tp_basicsize = sizeof(ContractObject);
  t.tp_dealloc = Contract_dealloc;
  t.tp_repr = Contract_repr;
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_doc = Contract_doc;
  t.tp_methods = Contract_methods;
  t.tp_getset = Contract_getset;
  t.tp_new = Contract_new;
  return t;
}();

// ---- Session --------------------------------------------------------------

// A session and the lock that keeps two threads from running it at once
// (each call waits for the other, the interpreter lock released).
struct SessionCore {
  explicit SessionCore(qel::Session s) : session(std::move(s)) {}
  qel::Session session;
  std::mutex mutex;
};

struct SessionObject {
  PyObject_HEAD
  PyObject* contract;  // the Contract it runs; owned
  SessionCore* core;   // owned
};

PyObject* new_session(PyObject* contract, qel::Session session) {
  auto core = std::make_unique<SessionCore>(std::move(session));
  PyObject* self = SessionType.tp_alloc(&SessionType, 0);
  if (self == nullptr) return nullptr;
  auto* object = reinterpret_cast<SessionObject*>(self);
  Py_INCREF(contract);
  object->contract = contract;
  object->core = core.release();
  return self;
}

void Session_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<SessionObject*>(self);
  delete object->core;
  Py_XDECREF(object->contract);
  Py_TYPE(self)->tp_free(self);
}

SessionCore& core_of(PyObject* self) {
  return *reinterpret_cast<SessionObject*>(self)->core;
}

PyObject* Session_run(PyObject* self, PyObject* args, PyObject* kwargs) {
  Utf8Argument inputs;
  qel::RunOptions options;
  if (!bind_inputs(args, kwargs, "U|p:run", inputs, options)) return nullptr;
  SessionCore& core = core_of(self);
  return call_released(
      [&](qel::Output& out, const qel::Interrupter& interrupter) {
        const std::lock_guard<std::mutex> lock(core.mutex);
        options.interrupter = interrupter;
        return core.session.run(inputs.text(), out, options);
      },
      /*noted=*/true);
}

PyObject* Session_state(PyObject* self, void*) {
  SessionCore& core = core_of(self);
  return call_released(
      [&](qel::Output& out, const qel::Interrupter&) -> std::optional<qel::Error> {
        std::string text;
        {
          const std::lock_guard<std::mutex> lock(core.mutex);
          core.session.write_state(text);
        }
        out.append(text);
        return std::nullopt;
      });
}

PyObject* Session_next_sequence(PyObject* self, void*) {
  SessionCore& core = core_of(self);
  uint64_t sequence = 0;
  {
    Released released;
    const std::lock_guard<std::mutex> lock(core.mutex);
    sequence = core.session.next_sequence();
  }
  return PyLong_FromUnsignedLongLong(sequence);
}

PyObject* Session_contract(PyObject* self, void*) {
  PyObject* contract = reinterpret_cast<SessionObject*>(self)->contract;
  Py_INCREF(contract);
  return contract;
}

PyDoc_STRVAR(Session_doc,
"A contract's state carried between calls; made by Contract.session().\n"
"\n"
"One call runs at a time; calls from other threads wait their turn.");

PyDoc_STRVAR(run_doc,
"run($self, /, inputs, check_inputs=False)\n--\n\n"
"Run requests, as Contract.execute does, from the session's state: the same\n"
"result document, with this call's operations and provenance entries, whose\n"
"sequence numbers continue the session's. A failed request leaves the state\n"
"as before it; a ValueError (malformed requests) leaves the session as\n"
"before the call.");

PyMethodDef Session_methods[] = {
    {"run", as_cfunction(Session_run), METH_VARARGS | METH_KEYWORDS, run_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Session_getset[] = {
    {"state", Session_state, nullptr,
     PyDoc_STR("The current state as JSON text, in the form of final_state; "
               "Contract.session(state=...) resumes from it."),
     nullptr},
    {"next_sequence", Session_next_sequence, nullptr,
     PyDoc_STR("The sequence number the next recorded operation gets."),
     nullptr},
    {"contract", Session_contract, nullptr,
     PyDoc_STR("The Contract the session runs."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject SessionType = [] {
  PyTypeObject t{};
  Py_SET_REFCNT(&t.ob_base.ob_base, 1);
  t.tp_name = "qelkit.Session";
  t.tp_basicsize = sizeof(SessionObject);
  t.tp_dealloc = Session_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_doc = Session_doc;
  t.tp_methods = Session_methods;
  t.tp_getset = Session_getset;
  return t;
}();

// ---- Module -------------------------------------------------------------

PyModuleDef qelkit_module = {
    PyModuleDef_HEAD_INIT,
    "qelkit",
    "Compiled contracts and sessions for the QEL runtime",
    0,
    qel::python::check_methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* cached_module = nullptr;


}  // namespace

PyMODINIT_FUNC PyInit_qelkit(void) {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "qelkit: sub-interpreters are not supported");
    return nullptr;
  }
  if (cached_module != nullptr) {
    Py_INCREF(cached_module);
    return cached_module;
  }
  if (!read_main_thread_ident()) return nullptr;
  if (PyType_Ready(&ContractType) < 0 || PyType_Ready(&SessionType) < 0) {
    return nullptr;
  }
  PyRef module(PyModule_Create(&qelkit_module));
  if (module.get() == nullptr) return nullptr;
  Py_INCREF(&ContractType);
  if (PyModule_AddObject(module.get(), "Contract",
                         reinterpret_cast<PyObject*>(&ContractType)) < 0) {
    Py_DECREF(&ContractType);
    return nullptr;
  }
  Py_INCREF(&SessionType);
  if (PyModule_AddObject(module.get(), "Session",
                         reinterpret_cast<PyObject*>(&SessionType)) < 0) {
    Py_DECREF(&SessionType);
    return nullptr;
  }
  if (!qel::python::add_check_types(module.get())) return nullptr;
  // The cache keeps its own reference for the life of the process.
  cached_module = module.release();
  Py_INCREF(cached_module);
  return cached_module;
}
