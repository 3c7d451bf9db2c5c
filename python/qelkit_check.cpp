// qelkit.check, format and diff: what `qel check`, `qel fmt` and `qel diff`
// report, for texts given as strs. The core runs with the interpreter lock
// released, as the Contract methods do; findings and changes come back as
// small immutable records. No C++ exception leaves this file.
#include "qelkit_check.h"

#include "lock_release.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qel/check.h"
#include "qel/contract_diff.h"
#include "qel/format.h"
#include "qel/line_index.h"
#include "qel/parser.h"
#include "qel/rules.h"

namespace qel::python {
namespace {

// ---- Values -----------------------------------------------------------------

// A str of text that may hold stray bytes (a message quoting an invalid
// text): each such byte is U+FFFD, as in the JSON of the command line.
PyObject* str_of(std::string_view text) {
  const std::string valid = valid_utf8(text);
  return PyUnicode_DecodeUTF8(valid.data(),
                              static_cast<Py_ssize_t>(valid.size()), nullptr);
}

// A line or a column of a place, or None where there is no place.
PyObject* part_of(const Span* place, uint64_t Span::*part) {
  if (place == nullptr) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(place->*part);
}

// A tuple of new references, which it takes over; null when any is null
// (an exception is then set).
PyObject* tuple_of(std::initializer_list<PyObject*> items) {
  bool complete = true;
  for (PyObject* item : items) complete = complete && item != nullptr;
  PyRef tuple(complete ? PyTuple_New(static_cast<Py_ssize_t>(items.size()))
                       : nullptr);
  Py_ssize_t i = 0;
  for (PyObject* item : items) {
    if (tuple.get() != nullptr) {
      PyTuple_SET_ITEM(tuple.get(), i++, item);
    } else {
      Py_XDECREF(item);
    }
  }
  return tuple.release();
}

// ---- Records ----------------------------------------------------------------
// Finding and Change: their values in a tuple, read through named
// read-only attributes (the type's getset table, in tuple order), compared
// and hashed as the tuple. Values are strs, ints, bools, None and tuples of
// those, so a record can hold no cycle.

struct RecordObject {
  PyObject_HEAD
  PyObject* values;  // a tuple; owned
};

PyObject* values_of(PyObject* self) {
  return reinterpret_cast<RecordObject*>(self)->values;
}

// A new record of `type` holding `values`, which it takes over.
PyObject* new_record(PyTypeObject* type, PyObject* values) {
  PyRef owned(values);
  if (values == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<RecordObject*>(self)->values = owned.release();
  return self;
}

void Record_dealloc(PyObject* self) {
  Py_XDECREF(values_of(self));
  Py_TYPE(self)->tp_free(self);
}

PyObject* Record_get(PyObject* self, void* index) {
  PyObject* value =
      PyTuple_GET_ITEM(values_of(self), reinterpret_cast<intptr_t>(index));
  Py_INCREF(value);
  return value;
}

// "Finding(code='V101', name=..., ...)".
PyObject* Record_repr(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  const char* dot = std::strrchr(type->tp_name, '.');
  PyRef parts(PyList_New(0));
  if (parts.get() == nullptr) return nullptr;
  PyObject* values = values_of(self);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values); ++i) {
    PyRef part(PyUnicode_FromFormat("%s=%R", type->tp_getset[i].name,
                                    PyTuple_GET_ITEM(values, i)));
    if (part.get() == nullptr || PyList_Append(parts.get(), part.get()) < 0) {
      return nullptr;
    }
  }
  PyRef separator(PyUnicode_FromString(", "));
  if (separator.get() == nullptr) return nullptr;
  PyRef joined(PyUnicode_Join(separator.get(), parts.get()));
  if (joined.get() == nullptr) return nullptr;
  return PyUnicode_FromFormat(
      "%s(%U)", dot != nullptr ? dot + 1 : type->tp_name, joined.get());
}

PyObject* Record_richcompare(PyObject* self, PyObject* other, int op) {
  if (Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  return PyObject_RichCompare(values_of(self), values_of(other), op);
}

Py_hash_t Record_hash(PyObject* self) { return PyObject_Hash(values_of(self)); }

constexpr void* at(intptr_t index) { return reinterpret_cast<void*>(index); }

PyGetSetDef Finding_getset[] = {
    {"code", Record_get, nullptr,
     PyDoc_STR("The rule's code, such as \"V101\" or \"L002\"."), at(0)},
    {"name", Record_get, nullptr,
     PyDoc_STR("The rule's name, such as \"state-default-ignored\"."), at(1)},
    {"severity", Record_get, nullptr,
     PyDoc_STR("Either \"error\" or \"warning\"."), at(2)},
    {"kind", Record_get, nullptr,
     PyDoc_STR("Who found it: \"parse\", \"type\", \"invariant\", "
               "\"determinism\", \"coherence\" or \"lint\"."),
     at(3)},
    {"message", Record_get, nullptr,
     PyDoc_STR("One line, without a position."), at(4)},
    {"line", Record_get, nullptr,
     PyDoc_STR("Where it starts: 1-based line, or None when it has no place."),
     at(5)},
    {"column", Record_get, nullptr,
     PyDoc_STR("Where it starts: 1-based column in characters, or None."),
     at(6)},
    {"end_line", Record_get, nullptr,
     PyDoc_STR("Where it ends (just after its text): 1-based line, or None."),
     at(7)},
    {"end_column", Record_get, nullptr,
     PyDoc_STR("Where it ends: 1-based column in characters, or None."),
     at(8)},
    {"notes", Record_get, nullptr,
     PyDoc_STR("Other places that explain it, such as the first of two "
               "duplicates: (message, line, column, end_line, end_column) "
               "each."),
     at(9)},
    {"help", Record_get, nullptr,
     PyDoc_STR("How to resolve it, or None."), at(10)},
    {"fixes", Record_get, nullptr,
     PyDoc_STR("Edits that resolve it: (title, safe, edits) each, an edit "
               "being (line, column, end_line, end_column, replacement); safe "
               "when applying them keeps what the contract means."),
     at(11)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef Change_getset[] = {
    {"code", Record_get, nullptr,
     PyDoc_STR("The rule's code, such as \"D101\"."), at(0)},
    {"name", Record_get, nullptr,
     PyDoc_STR("The rule's name, such as \"operation-removed\"."), at(1)},
    {"change_class", Record_get, nullptr,
     PyDoc_STR("One of \"breaking\", \"review\", \"compatible\" and "
               "\"error\"."),
     at(2)},
    {"security", Record_get, nullptr,
     PyDoc_STR("Whether it widens what the agent may reach or do."), at(3)},
    {"message", Record_get, nullptr,
     PyDoc_STR("What changed and why that matters; one line, without a "
               "position."),
     at(4)},
    {"old_line", Record_get, nullptr,
     PyDoc_STR("The place in the old text: 1-based line, or None."), at(5)},
    {"old_column", Record_get, nullptr,
     PyDoc_STR("The place in the old text: 1-based column in characters, or "
               "None."),
     at(6)},
    {"new_line", Record_get, nullptr,
     PyDoc_STR("The place in the new text: 1-based line, or None."), at(7)},
    {"new_column", Record_get, nullptr,
     PyDoc_STR("The place in the new text: 1-based column in characters, or "
               "None."),
     at(8)},
    {"note", Record_get, nullptr,
     PyDoc_STR("What to weigh beside the message, such as a parameter that "
               "may have been renamed; None for none. It never changes the "
               "class."),
     at(9)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject record_type(const char* name, const char* doc,
                         PyGetSetDef* getset) {
  PyTypeObject t{};
  Py_SET_REFCNT(&t.ob_base.ob_base, 1);
  t.tp_name = name;
  t.tp_basicsize = sizeof(RecordObject);
  t.tp_dealloc = Record_dealloc;
  t.tp_repr = Record_repr;
  t.tp_hash = Record_hash;
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_doc = doc;
  t.tp_richcompare = Record_richcompare;
  t.tp_getset = getset;
  return t;
}

PyTypeObject FindingType = record_type(
    "qelkit.Finding",
    PyDoc_STR("One finding of check(): a rule broken at a place of the text.\n"
              "\n"
              "Immutable; equal when every attribute is."),
    Finding_getset);

PyTypeObject ChangeType = record_type(
    "qelkit.Change",
    PyDoc_STR("One change found by diff(), placed in both versions.\n"
              "\n"
              "Immutable; equal when every attribute is."),
    Change_getset);

// ---- check ------------------------------------------------------------------

// A sequence of rule codes or prefixes, as --select and --ignore take;
// false with an exception set.
bool read_selectors(PyObject* obj, const char* what,
                    std::vector<std::string>& out) {
  // A str is a sequence too, of one-letter selectors: never what is meant.
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError,
                 "check() argument '%s' must be a sequence of rule codes, "
                 "not %.200s",
                 what, Py_TYPE(obj)->tp_name);
    return false;
  }
  PyRef items(PySequence_Fast(obj, ""));
  if (items.get() == nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "check() argument '%s' must be a sequence of rule codes, "
                 "not %.200s",
                 what, Py_TYPE(obj)->tp_name);
    return false;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError,
                   "check() argument '%s' must hold strs, not %.200s", what,
                   Py_TYPE(item)->tp_name);
      return false;
    }
    Py_ssize_t size = 0;
    const char* code = PyUnicode_AsUTF8AndSize(item, &size);
    if (code == nullptr) return false;
    std::string selector(code, static_cast<size_t>(size));
    if (!is_rule_selector(selector)) {
      raise_value_error("unknown rule code '" + selector + "'");
      return false;
    }
    out.push_back(std::move(selector));
  }
  return true;
}

// A finding's places as the command line's JSON gives them.
struct Placed {
  Span end;
  std::vector<std::pair<Span, Span>> notes;
  std::vector<std::vector<std::pair<Span, Span>>> edits;  // by fix
};

PyObject* new_finding(const Diagnostic& d, const Placed& placed) {
  const Rule* rule = find_rule(d.code);
  PyRef fixes(PyTuple_New(static_cast<Py_ssize_t>(d.fixes.size())));
  if (fixes.get() == nullptr) return nullptr;
  for (size_t f = 0; f < d.fixes.size(); ++f) {
    const Fix& fix = d.fixes[f];
    PyRef edits(PyTuple_New(static_cast<Py_ssize_t>(fix.edits.size())));
    if (edits.get() == nullptr) return nullptr;
    for (size_t e = 0; e < fix.edits.size(); ++e) {
      const auto& [from, to] = placed.edits[f][e];
      PyObject* edit = tuple_of({PyLong_FromUnsignedLongLong(from.line),
                                 PyLong_FromUnsignedLongLong(from.column),
                                 PyLong_FromUnsignedLongLong(to.line),
                                 PyLong_FromUnsignedLongLong(to.column),
                                 str_of(fix.edits[e].replacement)});
      if (edit == nullptr) return nullptr;
      PyTuple_SET_ITEM(edits.get(), static_cast<Py_ssize_t>(e), edit);
    }
    PyObject* entry = tuple_of({str_of(fix.title), PyBool_FromLong(fix.safe),
                                edits.release()});
    if (entry == nullptr) return nullptr;
    PyTuple_SET_ITEM(fixes.get(), static_cast<Py_ssize_t>(f), entry);
  }
  PyRef notes(PyTuple_New(static_cast<Py_ssize_t>(d.notes.size())));
  if (notes.get() == nullptr) return nullptr;
  for (size_t i = 0; i < d.notes.size(); ++i) {
    const auto& [from, to] = placed.notes[i];
    PyObject* note = tuple_of({str_of(d.notes[i].text),
                               PyLong_FromUnsignedLongLong(from.line),
                               PyLong_FromUnsignedLongLong(from.column),
                               PyLong_FromUnsignedLongLong(to.line),
                               PyLong_FromUnsignedLongLong(to.column)});
    if (note == nullptr) return nullptr;
    PyTuple_SET_ITEM(notes.get(), static_cast<Py_ssize_t>(i), note);
  }
  const Span* start = d.span ? &*d.span : nullptr;
  const Span* end = d.span ? &placed.end : nullptr;
  PyObject* help = nullptr;
  if (d.help.empty()) {
    Py_INCREF(Py_None);
    help = Py_None;
  } else {
    help = str_of(d.help);
  }
  return new_record(
      &FindingType,
      tuple_of({str_of(d.code), str_of(rule != nullptr ? rule->name : ""),
                PyUnicode_FromString(
                    d.severity == Severity::kError ? "error" : "warning"),
                PyUnicode_FromString(diagnostic_kind_name(d.kind)),
                str_of(d.message), part_of(start, &Span::line),
                part_of(start, &Span::column), part_of(end, &Span::line),
                part_of(end, &Span::column), notes.release(), help,
                fixes.release()}));
}

PyObject* check_text(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"text", "select", "ignore", nullptr};
  PyObject* text_obj = nullptr;
  PyObject* select_obj = Py_None;
  PyObject* ignore_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|OO:check",
                                   const_cast<char**>(keywords), &text_obj,
                                   &select_obj, &ignore_obj)) {
    return nullptr;
  }
  Utf8Argument text;
  if (!text.read(text_obj)) return nullptr;
  return guarded([&]() -> PyObject* {
    CheckOptions options;
    if (select_obj != Py_None) {
      options.select.emplace();
      if (!read_selectors(select_obj, "select", *options.select)) {
        return nullptr;
      }
    }
    if (ignore_obj != Py_None &&
        !read_selectors(ignore_obj, "ignore", options.ignore)) {
      return nullptr;
    }
    std::optional<Result<CheckResult>> result;
    std::vector<Placed> placed;
    {
      Released released;
      result.emplace(check(text.text(), options, released.interrupter()));
      if (result->ok()) {
        const LineIndex index(text.text());
        for (const Diagnostic& d : result->value().findings) {
          Placed& p = placed.emplace_back();
          p.end = index.span_of(std::max(d.range.end, d.range.begin));
          for (const Label& note : d.notes) {
            p.notes.emplace_back(
                index.span_of(note.range.begin),
                index.span_of(std::max(note.range.end, note.range.begin)));
          }
          for (const Fix& fix : d.fixes) {
            auto& edits = p.edits.emplace_back();
            for (const Edit& e : fix.edits) {
              edits.emplace_back(index.span_of(e.range.begin),
                                 index.span_of(e.range.end));
            }
          }
        }
      }
    }
    if (!result->ok()) return raise_error(result->error());
    const std::vector<Diagnostic>& findings = result->value().findings;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(findings.size())));
    if (list.get() == nullptr) return nullptr;
    for (size_t i = 0; i < findings.size(); ++i) {
      PyObject* finding = new_finding(findings[i], placed[i]);
      if (finding == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), finding);
    }
    return list.release();
  });
}

// ---- format -----------------------------------------------------------------

PyObject* format_text(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"text", nullptr};
  PyObject* text_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:format",
                                   const_cast<char**>(keywords), &text_obj)) {
    return nullptr;
  }
  Utf8Argument text;
  if (!text.read(text_obj)) return nullptr;
  return guarded([&]() -> PyObject* {
    std::optional<Rewrite> rewrite;
    {
      Released released;
      rewrite.emplace(format_checked(text.text()));
    }
    if (!rewrite->text.ok()) return raise_error(rewrite->text.error());
    if (!rewrite->fault.empty()) {
      // Never handed out: a caller may write it over the file.
      return raise_error(Error::normalization_error(
          "internal error: the formatted text is not the same contract (" +
          rewrite->fault +
          "); please report this as a bug, with the contract"));
    }
    const std::string& formatted = rewrite->text.value();
    return PyUnicode_DecodeUTF8(formatted.data(),
                                static_cast<Py_ssize_t>(formatted.size()),
                                nullptr);
  });
}

// ---- diff -------------------------------------------------------------------

PyObject* new_change(const Change& change) {
  const DiffRule& rule = change.rule();
  const Diagnostic d = change_diagnostic(change);
  const Span* old_place = change.old_span ? &*change.old_span : nullptr;
  const Span* new_place = d.span ? &*d.span : nullptr;
  return new_record(
      &ChangeType,
      tuple_of({str_of(d.code), str_of(rule.name),
                PyUnicode_FromString(change_class_name(rule.change_class)),
                PyBool_FromLong(rule.security), str_of(d.message),
                part_of(old_place, &Span::line),
                part_of(old_place, &Span::column),
                part_of(new_place, &Span::line),
                part_of(new_place, &Span::column),
                change.note.empty() ? Py_NewRef(Py_None)
                                    : str_of(change.note)}));
}

PyObject* diff_texts(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"old", "new", nullptr};
  PyObject* old_obj = nullptr;
  PyObject* new_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UU:diff",
                                   const_cast<char**>(keywords), &old_obj,
                                   &new_obj)) {
    return nullptr;
  }
  Utf8Argument old_text, new_text;
  if (!old_text.read(old_obj) || !new_text.read(new_obj)) return nullptr;
  return guarded([&]() -> PyObject* {
    std::optional<Error> error;
    const char* side = "";
    std::vector<Change> changes;
    {
      Released released;
      Result<SyntaxTree> o =
          parse_tree(old_text.text(), released.interrupter());
      if (!o.ok()) {
        error = o.error();
        side = "old: ";
      } else {
        Result<SyntaxTree> n =
            parse_tree(new_text.text(), released.interrupter());
        if (!n.ok()) {
          error = n.error();
          side = "new: ";
        } else {
          changes = diff_contracts(o.value(), n.value());
        }
      }
    }
    if (error) {
      if (error->kind() == ErrorKind::kInterrupted) return raise_error(*error);
      // Which of the two: the error's text alone does not say.
      return raise_value_error(side + error->to_string());
    }
    PyRef list(PyList_New(static_cast<Py_ssize_t>(changes.size())));
    if (list.get() == nullptr) return nullptr;
    for (size_t i = 0; i < changes.size(); ++i) {
      PyObject* change = new_change(changes[i]);
      if (change == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), change);
    }
    return list.release();
  });
}

PyDoc_STRVAR(check_doc,
"check(text, select=None, ignore=None)\n--\n\n"
"The findings of `qel check` for the text: every independent parse error\n"
"in source order, or the verifier's findings, then the lints in source\n"
"order; a list of Finding.\n"
"\n"
"select and ignore are sequences of rule codes or their starts (\"V1\",\n"
"\"L\"), as --select and --ignore take: only the selected rules are\n"
"reported (all when None), less the ignored ones; parse errors always are.\n"
"ValueError for a code that names no rule. The text is valid when no\n"
"finding is an error; with --strict, when there is no finding.");
PyDoc_STRVAR(format_doc,
"format(text)\n--\n\n"
"The formatted text, as `qel fmt` prints it. ValueError with the parse\n"
"error for a text that does not parse, or when the formatted text would\n"
"not be the same contract (a bug, never to be written to a file).");
PyDoc_STRVAR(diff_doc,
"diff(old, new)\n--\n\n"
"The changes from old to new, as `qel diff` lists them: a list of Change,\n"
"section by section, the same for any order or layout of either text.\n"
"ValueError, starting \"old: \" or \"new: \", for a text that does not\n"
"parse.");

}  // namespace

PyMethodDef check_methods[] = {
    {"check", as_cfunction(check_text), METH_VARARGS | METH_KEYWORDS,
     check_doc},
    {"format", as_cfunction(format_text), METH_VARARGS | METH_KEYWORDS,
     format_doc},
    {"diff", as_cfunction(diff_texts), METH_VARARGS | METH_KEYWORDS, diff_doc},
    {nullptr, nullptr, 0, nullptr},
};

bool add_check_types(PyObject* module) {
  for (auto [name, type] : {std::pair{"Finding", &FindingType},
                            std::pair{"Change", &ChangeType}}) {
    if (PyType_Ready(type) < 0) return false;
    Py_INCREF(type);
    if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) <
        0) {
      Py_DECREF(type);
      return false;
    }
  }
  return true;
}

}  // namespace qel::python
