// Every lint message, built in one place so that their wording lives in one
// spot. Each says what the run time does, in one line, and names the
// offending text as written.
#include <cstdint>
#include <string>
#include <string_view>

#include "executor/condition_form.h"
#include "lint/lint_checks.h"
#include "qel/json.h"
#include "verifier/verifier_checks.h"

namespace qel::detail {

namespace {

// "precondition 'x > 0' of 'withdraw'", "invariant 'x > 0'".
void append_subject(std::string& out, const ConditionSite& site) {
  switch (site.clause) {
    case ConditionSite::Clause::kPrecondition: out += "precondition "; break;
    case ConditionSite::Clause::kPostcondition: out += "postcondition "; break;
    case ConditionSite::Clause::kInvariant: out += "invariant "; break;
  }
  append_quoted(out, site.text);
  if (site.operation != nullptr) {
    out += " of ";
    append_quoted(out, site.operation->name().text());
  }
}

// A value as an author would write it: null, true, 0, 0.5, "text"; arrays
// and objects only by kind, since a state starts with scalars.
void append_value(std::string& out, const Value& value) {
  switch (value.kind()) {
    case Value::Kind::kNull: out += "null"; break;
    case Value::Kind::kBoolean:
      out += value.as_boolean() ? "true" : "false";
      break;
    case Value::Kind::kInteger: append_int(out, value.as_integer()); break;
    case Value::Kind::kFloat:
      append_double(out, value.as_float(), FloatStyle::kCanonical);
      break;
    case Value::Kind::kString:
      append_json_string(out, value.as_string());
      break;
    case Value::Kind::kArray: out += "an array"; break;
    case Value::Kind::kObject: out += "an object"; break;
  }
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  constexpr char kHex[] = "0123456789abcdef";
  out += '\'';
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7f) {
      out += ch;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += "\\u{";
      if (c >= 0x10) out += kHex[c >> 4];
      out += kHex[c & 0xf];
      out += '}';
    }
  }
  out += '\'';
}

std::string unevaluated_condition_message(const ConditionSite& site) {
  std::string out;
  append_subject(out, site);
  out += " is not a form the run time evaluates, so it never fails; "
         "recognised forms: ";
  out += kRecognisedConditionForms;
  return out;
}

std::string unknown_field_message(const ConditionSite& site,
                                  std::string_view field) {
  std::string out;
  append_subject(out, site);
  out += " names ";
  append_quoted(out, field);
  if (site.operation != nullptr) {
    out += ", which is neither a state field nor a parameter of ";
    append_quoted(out, site.operation->name().text());
  } else {
    out += ", which is not a state field";
  }
  out += "; the run time fails a check on a missing field, so this one "
         "always fails";
  return out;
}

std::string initial_state_violation_message(const ConditionSite& site,
                                            std::string_view field,
                                            const Value& start) {
  std::string out;
  append_subject(out, site);
  out += " does not hold in the initial state, where ";
  append_quoted(out, field);
  out += " starts as ";
  append_value(out, start);
  out += "; every request fails until one of them sets ";
  append_quoted(out, field);
  out += " so that it holds";
  return out;
}

std::string ignored_state_default_message(const syntax::StateField& field,
                                          const Value& start) {
  std::string out = "default of state field ";
  append_quoted(out, field.name());
  out += " (";
  append_type_expr_name(out, field.type());
  out += ") is never applied: the run time starts it as ";
  append_value(out, start);
  return out;
}

std::string ignored_parameter_default_message(
    const syntax::OperationNode& operation, const syntax::StateField& parameter) {
  std::string out = "default of parameter ";
  append_quoted(out, parameter.name());
  out += " of ";
  append_quoted(out, operation.name().text());
  out += " is never applied: the run time still requires the parameter in "
         "every request";
  return out;
}

std::string ignored_nested_default_message(const syntax::StateField& nested,
                                           const syntax::StateField& owner,
                                           const syntax::OperationNode* operation) {
  std::string out = "default of ";
  append_quoted(out, nested.name());
  if (operation != nullptr) {
    out += " in parameter ";
    append_quoted(out, owner.name());
    out += " of ";
    append_quoted(out, operation->name().text());
  } else {
    out += " in state field ";
    append_quoted(out, owner.name());
  }
  out += " is never applied: the run time does not fill in defaults inside "
         "a value";
  return out;
}

std::string duplicate_field_message(std::string_view field,
                                    std::string_view where,
                                    uint64_t used_line) {
  std::string out = "field ";
  append_quoted(out, field);
  out += " of ";
  out += where;
  out += " is written again on line ";
  append_uint(out, used_line);
  out += "; only the last value is used, so this one is ignored";
  return out;
}

std::string text_after_contract_message(bool after_extensions) {
  std::string out = "text after the ";
  out += after_extensions ? "Extensions section" : "contract";
  out += " is ignored: nothing past its closing brace is read";
  return out;
}

std::string second_extensions_help() {
  return "only the first Extensions section is read; move these systems "
         "into it";
}

std::string misspelt_extensions_help(std::string_view written,
                                     bool has_extensions) {
  std::string out = "did you mean `Extensions`? ";
  if (has_extensions) {
    out += "Only the first Extensions section is read; move the systems of ";
    append_quoted(out, written);
    out += " into it";
  } else {
    out += "Extension systems are read from a section written "
           "`Extensions { ... }` right after the contract";
  }
  return out;
}

std::string bare_system_help(std::string_view system, bool has_extensions) {
  std::string out = "extension systems are read only inside `Extensions { "
                    "... }`: ";
  if (has_extensions) {
    out += "move ";
    append_quoted(out, system);
    out += " into the Extensions section";
  } else {
    out += "write `Extensions {` before ";
    append_quoted(out, system);
    out += " and `}` after it";
  }
  return out;
}

std::string parameter_shadows_state_message(
    const syntax::OperationNode& operation, const syntax::StateField& parameter,
    const syntax::StateField& field) {
  std::string out = "parameter ";
  append_quoted(out, parameter.name());
  out += " of ";
  append_quoted(out, operation.name().text());
  out += " (";
  out += parameter.type().text();
  out += ") shadows the state field of that name (";
  out += field.type().text();
  out += "): a request's inputs are merged into the state, so the field "
         "then holds the parameter's value";
  return out;
}

std::string stale_semantic_hash_message(std::string_view written,
                                        std::string_view computed) {
  std::string out = "semantic_hash ";
  append_quoted(out, written);
  out += " is not the hash of this text, which is ";
  append_quoted(out, computed);
  out += "; it was written for another version of the contract";
  return out;
}

std::string unused_suppression_message(std::string_view code,
                                       uint64_t target_line) {
  std::string out = "'qel: allow ";
  out += code;
  out += "' silences nothing: there is no ";
  out += code;
  out += " finding on line ";
  append_uint(out, target_line);
  return out;
}

std::string unknown_suppression_code_message(std::string_view code) {
  std::string out = "'qel: allow ";
  out += code;
  out += "' names no known code; 'qel help rules' lists them";
  return out;
}

std::string empty_suppression_message() {
  return "'qel: allow' names no code; write the codes after it, "
         "separated by commas";
}

}  // namespace qel::detail
