// The contract comparison. Both trees are read through their views only;
// every list is matched in canonical order, so what the canonical form
// ignores (order, layout, comments, the written hash) is never a change.
#include "qel/contract_diff.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "canonical/tree_order.h"
#include "executor/condition_form.h"
#include "executor/text.h"
#include "qel/canonical.h"
#include "qel/json.h"
#include "qel/limits.h"
#include "qel/parser.h"
#include "qel/rules.h"

namespace qel {

namespace {

using detail::Keyed;
using detail::KeyedList;

// ---- Texts of values, for comparing and for reasons ------------------------
// One-line canonical forms: object fields and enum variants sorted, numbers
// in their canonical spelling, texts quoted with \" and \\ escaped. Types
// and literals nest no deeper than the parser allows; the guard keeps the
// walk bounded all the same.

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

std::string quoted(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

void append_literal(std::string& out, const syntax::Literal& literal,
                    int& depth) {
  const DepthGuard guard(depth);
  if (guard.exceeded()) {
    out += "...";
    return;
  }
  switch (literal.kind()) {
    case syntax::Literal::Kind::kString:
      append_quoted(out, literal.text());
      return;
    case syntax::Literal::Kind::kInteger:
      append_int(out, literal.integer());
      return;
    case syntax::Literal::Kind::kFloat:
      append_double(out, literal.number(), FloatStyle::kCanonical);
      return;
    case syntax::Literal::Kind::kBoolean:
      out += literal.boolean() ? "true" : "false";
      return;
    case syntax::Literal::Kind::kArray: {
      out += '[';
      bool first = true;
      for (const syntax::Literal e : literal.elements()) {
        if (!first) out += ", ";
        first = false;
        append_literal(out, e, depth);
      }
      out += ']';
      return;
    }
  }
}

std::string literal_text(const syntax::Literal& literal) {
  std::string out;
  int depth = 0;
  append_literal(out, literal, depth);
  return out;
}

void append_type(std::string& out, const syntax::Type& type, int& depth);

// "name: Type" or "name: Type = default".
void append_field(std::string& out, const syntax::StateField& field,
                  int& depth) {
  out += field.name();
  out += ": ";
  append_type(out, field.type(), depth);
  if (const std::optional<syntax::Literal> d = field.default_value()) {
    // One count for types and the literals inside them, as the parser
    // keeps: whatever it accepted is written whole.
    out += " = ";
    append_literal(out, *d, depth);
  }
}

void append_type(std::string& out, const syntax::Type& type, int& depth) {
  const DepthGuard guard(depth);
  if (guard.exceeded()) {
    out += "...";
    return;
  }
  switch (type.kind()) {
    case syntax::Type::Kind::kPrimitive:
      out += syntax::primitive_kind_name(type.primitive());
      return;
    case syntax::Type::Kind::kArray:
      out += "Array<";
      append_type(out, type.element(), depth);
      out += '>';
      return;
    case syntax::Type::Kind::kMap:
      out += "Map<";
      append_type(out, type.key(), depth);
      out += ", ";
      append_type(out, type.value(), depth);
      out += '>';
      return;
    case syntax::Type::Kind::kObject: {
      KeyedList fields;
      detail::sorted_by_name(type.fields(), fields);
      out += "Object {";
      for (std::size_t i = 0; i < fields.size(); ++i) {
        out += i == 0 ? " " : ", ";
        append_field(out, syntax::StateField(type.tree(), fields[i].ref),
                     depth);
      }
      out += fields.empty() ? "}" : " }";
      return;
    }
    case syntax::Type::Kind::kEnum: {
      KeyedList variants;
      detail::sorted_texts(type.variants(), variants);
      out += "Enum [";
      for (std::size_t i = 0; i < variants.size(); ++i) {
        if (i > 0) out += ", ";
        append_quoted(out, variants[i].key());
      }
      out += ']';
      return;
    }
  }
}

std::string type_text(const syntax::Type& type) {
  std::string out;
  int depth = 0;
  append_type(out, type, depth);
  return out;
}

std::string default_text(const syntax::StateField& field) {
  const std::optional<syntax::Literal> d = field.default_value();
  return d.has_value() ? literal_text(*d) : std::string();
}

// ---- Conditions --------------------------------------------------------------

enum class Verdict { kSame, kTighter, kLooser, kOther };

struct Bound {
  bool lower;   // FIELD > N, FIELD >= N; else FIELD < N, FIELD <= N
  bool strict;  // > or <
  double number;
};

using Form = detail::ConditionForm;

std::optional<Bound> bound_of(const Form& form) {
  if (std::isnan(form.number)) return std::nullopt;  // compares with nothing
  switch (form.kind) {
    case Form::Kind::kGreater: return Bound{true, true, form.number};
    case Form::Kind::kGreaterEqual: return Bound{true, false, form.number};
    case Form::Kind::kLess: return Bound{false, true, form.number};
    case Form::Kind::kLessEqual: return Bound{false, false, form.number};
    default: return std::nullopt;
  }
}

// How the values a bound lets through changed; both bound the same field in
// the same direction, so one set holds the other.
Verdict compare_bounds(const Bound& a, const Bound& b) {
  if (a.number == b.number && a.strict == b.strict) return Verdict::kSame;
  const bool narrower = a.lower ? b.number > a.number : b.number < a.number;
  const bool subset =
      narrower || (a.number == b.number && (b.strict || !a.strict));
  return subset ? Verdict::kTighter : Verdict::kLooser;
}

// A condition as the run time reads it: nothing to check, one of the
// recognised forms, or a text it never checks.
struct Reading {
  bool empty = false;
  std::optional<Form> form;
};

Reading read_condition(std::string_view text) {
  Reading r;
  r.empty = detail::trim_white_space(text).empty();
  if (!r.empty) r.form = detail::recognise_condition(text);
  return r;
}

// Compares two conditions by what they let through. Only an empty
// condition and a bound, or two bounds of one field in one direction, are
// comparable; any other difference is for a reader to judge.
Verdict compare_readings(const Reading& a, const Reading& b) {
  if (a.empty && b.empty) return Verdict::kSame;
  const std::optional<Bound> ba = a.form ? bound_of(*a.form) : std::nullopt;
  const std::optional<Bound> bb = b.form ? bound_of(*b.form) : std::nullopt;
  if (a.empty) return bb ? Verdict::kTighter : Verdict::kOther;
  if (b.empty) return ba ? Verdict::kLooser : Verdict::kOther;
  if (!a.form || !b.form || a.form->field != b.form->field) {
    return Verdict::kOther;
  }
  if (!ba && !bb) {
    // "x is not empty" written with other spacing reads the same.
    return a.form->kind == b.form->kind ? Verdict::kSame : Verdict::kOther;
  }
  if (!ba || !bb || ba->lower != bb->lower) return Verdict::kOther;
  return compare_bounds(*ba, *bb);
}

// ---- Walking both trees --------------------------------------------------------

// Texts of a list, sorted, each once: a repeated item states nothing more.
void distinct_texts(const syntax::TextList& texts, KeyedList& out) {
  detail::sorted_texts(texts, out);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (kept == 0 || out[i].key() != out[kept - 1].key()) out[kept++] = out[i];
  }
  out.erase(out.begin() + static_cast<std::ptrdiff_t>(kept), out.end());
}

// Walks two lists sorted by key. Items with equal keys pair up in order,
// so the n-th of a repeated name meets the n-th on the other side.
template <typename Removed, typename Added, typename Both>
void merge(const KeyedList& a, const KeyedList& b, Removed removed,
           Added added, Both both) {
  std::size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    if (j == b.size() || (i < a.size() && a[i].key() < b[j].key())) {
      removed(a[i++]);
    } else if (i == a.size() || b[j].key() < a[i].key()) {
      added(b[j++]);
    } else {
      both(a[i], b[j]);
      ++i;
      ++j;
    }
  }
}

class Differ {
 public:
  Differ(const SyntaxTree& old_tree, const SyntaxTree& new_tree)
      : old_(old_tree), new_(new_tree),
        oc_(old_tree.contract()), nc_(new_tree.contract()) {}

  std::vector<Change> run() {
    identity();
    description();
    state();
    invariants();
    operations();
    constraints();
    human_machine_contract();
    extensions();
    return std::move(changes_);
  }

 private:
  // `what` says what changed; the rule's summary says why that matters.
  void add(DiffCode code, const Span& old_span, const Span& new_span,
           std::string what) {
    what += ": ";
    what += diff_rule(code).summary;
    changes_.push_back(Change{code, old_span, new_span, std::move(what),
                              token_range(old_, old_span),
                              token_range(new_, new_span)});
  }

  // The token that starts at `at`: every place is a token's.
  static ByteRange token_range(const SyntaxTree& tree, const Span& at) {
    const auto begin = static_cast<uint32_t>(at.byte);
    return ByteRange{begin,
                     std::max(begin, tree.token_end(tree.token_at(begin)))};
  }

  Span old_at(uint32_t token) const { return old_.token_span(token); }
  Span new_at(uint32_t token) const { return new_.token_span(token); }

  // ---- Identity and description ----

  void identity() {
    const syntax::Identity o = oc_.identity(), n = nc_.identity();
    const syntax::Text oid = o.stable_id(), nid = n.stable_id();
    if (oid.text() != nid.text()) {
      add(DiffCode::kStableIdChanged, oid.span(), nid.span(),
          "stable_id changed from " + quoted(oid.text()) + " to " +
              quoted(nid.text()));
    }
    const syntax::Integer ov = o.version(), nv = n.version();
    if (nv.value() < ov.value()) {
      add(DiffCode::kVersionDecreased, ov.span(), nv.span(),
          "version decreased from " + std::to_string(ov.value()) + " to " +
              std::to_string(nv.value()));
      return;
    }
    if (nv.value() > ov.value()) return;
    // The version is part of the hashed text, so the hashes are compared
    // only when the versions are equal.
    const std::string oh = compute_semantic_hash(old_);
    const std::string nh = compute_semantic_hash(new_);
    if (oh != nh) {
      add(DiffCode::kVersionNotIncreased, ov.span(), nv.span(),
          "the semantic hash changed (" + oh.substr(0, 12) + " to " +
              nh.substr(0, 12) + ") but the version stayed " +
              std::to_string(nv.value()));
    }
  }

  void text_changed(DiffCode code, std::string_view what,
                    const syntax::Text& o, const syntax::Text& n) {
    if (o.text() == n.text()) return;
    add(code, o.span(), n.span(),
        std::string(what) + " changed from " + quoted(o.text()) + " to " +
            quoted(n.text()));
  }

  void description() {
    const syntax::Identity oi = oc_.identity(), ni = nc_.identity();
    text_changed(DiffCode::kDescriptionChanged, "created_timestamp",
                 oi.created_timestamp(), ni.created_timestamp());
    text_changed(DiffCode::kDescriptionChanged, "owner", oi.owner(),
                 ni.owner());
    const syntax::PurposeStatement op = oc_.purpose_statement();
    const syntax::PurposeStatement np = nc_.purpose_statement();
    text_changed(DiffCode::kDescriptionChanged, "narrative", op.narrative(),
                 np.narrative());
    text_changed(DiffCode::kDescriptionChanged, "intent_source",
                 op.intent_source(), np.intent_source());
    const syntax::Float oc = op.confidence_level(), nc = np.confidence_level();
    if (oc.value() != nc.value()) {
      std::string reason = "confidence_level changed from ";
      append_double(reason, oc.value(), FloatStyle::kCanonical);
      reason += " to ";
      append_double(reason, nc.value(), FloatStyle::kCanonical);
      add(DiffCode::kDescriptionChanged, oc.span(), nc.span(),
          std::move(reason));
    }
  }

  // ---- State and invariants ----

  // State fields and parameters: removed, added, type and default changed.
  struct FieldCodes {
    DiffCode removed, added, type_changed, default_changed;
  };

  // One side's entry that the other lacks: its change and its type.
  struct OneSided {
    std::size_t change;
    std::string_view name;
    std::string type;
  };

  // With `renames`, a removed entry and an added one of the same type are
  // noted as a possible rename (the classes stay: a caller still sends the
  // old name). Pairs are one to one, each removed entry taking the first
  // free added one in byte order of their names.
  void fields(const syntax::StateFields& o, const syntax::StateFields& n,
              const Span& old_block, const Span& new_block,
              const FieldCodes& codes, const std::string& where,
              bool renames = false) {
    KeyedList ol, nl;
    detail::sorted_by_name(o, ol);
    detail::sorted_by_name(n, nl);
    std::vector<OneSided> removed;
    std::map<std::string, std::vector<OneSided>> added_by_type;
    merge(
        ol, nl,
        [&](const Keyed& k) {
          const syntax::StateField f(old_, k.ref);
          add(codes.removed, f.name_span(), new_block,
              where + std::string(f.name()) + " removed");
          if (renames) {
            removed.push_back({changes_.size() - 1, f.name(),
                               type_text(f.type())});
          }
        },
        [&](const Keyed& k) {
          const syntax::StateField f(new_, k.ref);
          std::string type = type_text(f.type());
          add(codes.added, old_block, f.name_span(),
              where + std::string(f.name()) + ": " + type + " added");
          if (renames) {
            added_by_type[type].push_back(
                {changes_.size() - 1, f.name(), std::move(type)});
          }
        },
        [&](const Keyed& ok, const Keyed& nk) {
          const syntax::StateField of(old_, ok.ref), nf(new_, nk.ref);
          const std::string ot = type_text(of.type()), nt = type_text(nf.type());
          if (ot != nt) {
            add(codes.type_changed, of.type().span(), nf.type().span(),
                where + std::string(of.name()) + " changed type from " + ot +
                    " to " + nt);
          }
          const std::string od = default_text(of), nd = default_text(nf);
          if (od != nd) {
            add(codes.default_changed, of.name_span(), nf.name_span(),
                where + std::string(of.name()) + " default changed from " +
                    (od.empty() ? "none" : od) + " to " +
                    (nd.empty() ? "none" : nd));
          }
        });
    std::map<std::string_view, std::size_t> taken;  // by type
    for (const OneSided& r : removed) {
      const auto candidates = added_by_type.find(r.type);
      if (candidates == added_by_type.end()) continue;
      std::size_t& next = taken[candidates->first];
      if (next == candidates->second.size()) continue;
      const OneSided& a = candidates->second[next++];
      changes_[r.change].note = "possibly renamed to " + std::string(a.name) +
                                ", added with the same type";
      changes_[a.change].note = "possibly a rename of " +
                                std::string(r.name) +
                                ", removed with the same type";
    }
  }

  void state() {
    const syntax::DataSemantics o = oc_.data_semantics();
    const syntax::DataSemantics n = nc_.data_semantics();
    fields(o.state(), n.state(), o.span(), n.span(),
           {DiffCode::kStateFieldRemoved, DiffCode::kStateFieldAdded,
            DiffCode::kStateFieldTypeChanged,
            DiffCode::kStateFieldDefaultChanged},
           "state field ");
  }

  void invariants() {
    const syntax::TextList o = oc_.data_semantics().invariants();
    const syntax::TextList n = nc_.data_semantics().invariants();
    KeyedList ol, nl;
    distinct_texts(o, ol);
    distinct_texts(n, nl);
    std::vector<Keyed> removed, added;
    merge(
        ol, nl, [&](const Keyed& k) { removed.push_back(k); },
        [&](const Keyed& k) { added.push_back(k); },
        [](const Keyed&, const Keyed&) {});
    // An invariant rewritten on the same field and in the same direction is
    // one invariant made tighter or looser, not one removed and one added.
    // Candidates are found by field, so pairing stays near linear.
    std::vector<bool> paired(added.size(), false);
    std::map<std::string_view, std::vector<std::size_t>> added_by_field;
    std::vector<Reading> added_readings;
    added_readings.reserve(added.size());
    for (std::size_t i = 0; i < added.size(); ++i) {
      added_readings.push_back(read_condition(added[i].key()));
      if (added_readings[i].form) {
        added_by_field[added_readings[i].form->field].push_back(i);
      }
    }
    for (const Keyed& r : removed) {
      const Reading rr = read_condition(r.key());
      std::optional<Verdict> verdict;
      std::size_t match = 0;
      const auto candidates =
          rr.form ? added_by_field.find(rr.form->field) : added_by_field.end();
      if (candidates != added_by_field.end()) {
        std::vector<std::size_t>& list = candidates->second;
        for (auto it = list.begin(); it != list.end(); ++it) {
          const Verdict v = compare_readings(rr, added_readings[*it]);
          if (v == Verdict::kOther) continue;
          verdict = v;
          match = *it;
          list.erase(it);
          break;
        }
      }
      if (!verdict) {
        add(DiffCode::kInvariantRemoved, old_at(r.ref), new_at(n.open_token()),
            "invariant " + quoted(r.key()) + " removed");
        continue;
      }
      paired[match] = true;
      const Keyed& a = added[match];
      if (*verdict == Verdict::kSame) continue;
      add(*verdict == Verdict::kTighter ? DiffCode::kInvariantTightened
                                        : DiffCode::kInvariantLoosened,
          old_at(r.ref), new_at(a.ref),
          "invariant " + quoted(r.key()) +
              (*verdict == Verdict::kTighter ? " tightened" : " loosened") +
              " to " + quoted(a.key()));
    }
    for (std::size_t i = 0; i < added.size(); ++i) {
      if (paired[i]) continue;
      add(DiffCode::kInvariantAdded, old_at(o.open_token()),
          new_at(added[i].ref), "invariant " + quoted(added[i].key()) + " added");
    }
  }

  // ---- Operations ----

  void operations() {
    const syntax::BehavioralSemantics o = oc_.behavioral_semantics();
    const syntax::BehavioralSemantics n = nc_.behavioral_semantics();
    KeyedList ol, nl;
    detail::sorted_operations(o.operations(), ol);
    detail::sorted_operations(n.operations(), nl);
    merge(
        ol, nl,
        [&](const Keyed& k) {
          const syntax::OperationNode op(old_, k.ref);
          add(DiffCode::kOperationRemoved, op.name().span(), n.span(),
              "operation " + quoted(k.key()) + " removed");
        },
        [&](const Keyed& k) {
          const syntax::OperationNode op(new_, k.ref);
          add(DiffCode::kOperationAdded, o.span(), op.name().span(),
              "operation " + quoted(k.key()) + " added");
        },
        [&](const Keyed& ok, const Keyed& nk) {
          operation(syntax::OperationNode(old_, ok.ref),
                    syntax::OperationNode(new_, nk.ref));
        });
  }

  void operation(const syntax::OperationNode& o, const syntax::OperationNode& n) {
    const std::string name = quoted(o.name().text());
    fields(o.parameters(), n.parameters(), o.name().span(), n.name().span(),
           {DiffCode::kParameterRemoved, DiffCode::kParameterAdded,
            DiffCode::kParameterTypeChanged,
            DiffCode::kParameterDefaultChanged},
           "operation " + name + ": parameter ", /*renames=*/true);
    condition(o.precondition(), n.precondition(),
              {DiffCode::kPreconditionTightened,
               DiffCode::kPreconditionLoosened,
               DiffCode::kPreconditionChanged},
              "precondition of " + name);
    condition(o.postcondition(), n.postcondition(),
              {DiffCode::kPostconditionTightened,
               DiffCode::kPostconditionLoosened,
               DiffCode::kPostconditionChanged},
              "postcondition of " + name);
    texts(o.side_effects(), n.side_effects(), DiffCode::kSideEffectsChanged,
          DiffCode::kSideEffectsChanged, "operation " + name + ": side effect ");
    text_changed(DiffCode::kIdempotenceChanged, "idempotence of " + name,
                 o.idempotence(), n.idempotence());
  }

  struct ConditionCodes {
    DiffCode tightened, loosened, changed;
  };

  void condition(const syntax::Text& o, const syntax::Text& n,
                 const ConditionCodes& codes, const std::string& what) {
    if (o.text() == n.text()) return;
    const Verdict v =
        compare_readings(read_condition(o.text()), read_condition(n.text()));
    if (v == Verdict::kSame) return;
    const DiffCode code = v == Verdict::kTighter  ? codes.tightened
                          : v == Verdict::kLooser ? codes.loosened
                                                  : codes.changed;
    const char* how = v == Verdict::kTighter  ? " tightened from "
                      : v == Verdict::kLooser ? " loosened from "
                                              : " changed from ";
    add(code, o.span(), n.span(),
        what + how + quoted(o.text()) + " to " + quoted(n.text()));
  }

  // ---- Lists of texts ----

  void texts(const syntax::TextList& o, const syntax::TextList& n,
             DiffCode removed, DiffCode added, const std::string& what) {
    KeyedList ol, nl;
    distinct_texts(o, ol);
    distinct_texts(n, nl);
    merge(
        ol, nl,
        [&](const Keyed& k) {
          add(removed, old_at(k.ref), new_at(n.open_token()),
              what + quoted(k.key()) + " removed");
        },
        [&](const Keyed& k) {
          add(added, old_at(o.open_token()), new_at(k.ref),
              what + quoted(k.key()) + " added");
        },
        [](const Keyed&, const Keyed&) {});
  }

  // ---- Execution constraints ----

  void limit(const syntax::Integer& o, const syntax::Integer& n,
             std::string_view name) {
    if (o.value() == n.value()) return;
    add(n.value() < o.value() ? DiffCode::kResourceLimitLowered
                              : DiffCode::kResourceLimitRaised,
        o.span(), n.span(),
        std::string(name) + (n.value() < o.value() ? " lowered" : " raised") +
            " from " + std::to_string(o.value()) + " to " +
            std::to_string(n.value()));
  }

  // Isolation ranks of the known sandbox modes; -1 for any other text.
  static int isolation(std::string_view mode) {
    if (mode == "none") return 0;
    if (mode == "restricted") return 1;
    if (mode == "full_isolation") return 2;
    return -1;
  }

  void constraints() {
    const syntax::ExecutionConstraints o = oc_.execution_constraints();
    const syntax::ExecutionConstraints n = nc_.execution_constraints();
    const syntax::ResourceLimits ol = o.resource_limits();
    const syntax::ResourceLimits nl = n.resource_limits();
    limit(ol.max_memory_bytes(), nl.max_memory_bytes(), "max_memory_bytes");
    limit(ol.computation_timeout_ms(), nl.computation_timeout_ms(),
          "computation_timeout_ms");
    limit(ol.max_state_size_bytes(), nl.max_state_size_bytes(),
          "max_state_size_bytes");

    const syntax::Text om = o.sandbox_mode(), nm = n.sandbox_mode();
    if (om.text() != nm.text()) {
      const int orank = isolation(om.text()), nrank = isolation(nm.text());
      const DiffCode code = orank < 0 || nrank < 0 ? DiffCode::kSandboxChanged
                            : nrank < orank ? DiffCode::kSandboxLessStrict
                                            : DiffCode::kSandboxMoreStrict;
      add(code, om.span(), nm.span(),
          "sandbox_mode changed from " + quoted(om.text()) + " to " +
              quoted(nm.text()));
    }
    texts(o.external_permissions(), n.external_permissions(),
          DiffCode::kPermissionRemoved, DiffCode::kPermissionAdded,
          "external permission ");
    texts(o.trigger_types(), n.trigger_types(), DiffCode::kTriggerRemoved,
          DiffCode::kTriggerAdded, "trigger type ");
  }

  void human_machine_contract() {
    const syntax::HumanMachineContract o = oc_.human_machine_contract();
    const syntax::HumanMachineContract n = nc_.human_machine_contract();
    texts(o.system_commitments(), n.system_commitments(),
          DiffCode::kCommitmentRemoved, DiffCode::kCommitmentAdded,
          "system commitment ");
    texts(o.system_refusals(), n.system_refusals(), DiffCode::kRefusalRemoved,
          DiffCode::kRefusalAdded, "system refusal ");
    texts(o.user_obligations(), n.user_obligations(),
          DiffCode::kObligationRemoved, DiffCode::kObligationAdded,
          "user obligation ");
  }

  // ---- Extensions ----

  // The systems of a contract sorted by name, and where the section is (or,
  // without one, where it would start: after the contract's closing brace).
  static Span extensions_at(const syntax::ContractNode& c, KeyedList& systems) {
    systems.clear();
    const std::optional<syntax::Extensions> e = c.extensions();
    if (!e) return c.tree().token_span(c.last_token());
    detail::sorted_by_name(e->systems(), systems);
    return e->span();
  }

  void extensions() {
    KeyedList os, ns;
    const Span oat = extensions_at(oc_, os), nat = extensions_at(nc_, ns);
    merge(
        os, ns,
        [&](const Keyed& k) {
          const syntax::SystemExtension s(old_, k.ref);
          add(DiffCode::kExtensionChanged, s.name_span(), nat,
              "extension " + std::string(s.name()) + " removed");
        },
        [&](const Keyed& k) {
          const syntax::SystemExtension s(new_, k.ref);
          add(DiffCode::kExtensionChanged, oat, s.name_span(),
              "extension " + std::string(s.name()) + " added");
        },
        [&](const Keyed& ok, const Keyed& nk) {
          system_extension(syntax::SystemExtension(old_, ok.ref),
                           syntax::SystemExtension(new_, nk.ref));
        });
  }

  void system_extension(const syntax::SystemExtension& o,
                        const syntax::SystemExtension& n) {
    KeyedList of, nf;
    detail::sorted_by_name(o.fields(), of);
    detail::sorted_by_name(n.fields(), nf);
    const std::string where = "extension " + std::string(o.name()) + ": ";
    merge(
        of, nf,
        [&](const Keyed& k) {
          const syntax::CustomField f(old_, k.ref);
          add(DiffCode::kExtensionChanged, f.name_span(), n.name_span(),
              where + std::string(f.name()) + " removed");
        },
        [&](const Keyed& k) {
          const syntax::CustomField f(new_, k.ref);
          add(DiffCode::kExtensionChanged, o.name_span(), f.name_span(),
              where + std::string(f.name()) + " added");
        },
        [&](const Keyed& ok, const Keyed& nk) {
          const syntax::CustomField ofield(old_, ok.ref), nfield(new_, nk.ref);
          const std::string ov = literal_text(ofield.value());
          const std::string nv = literal_text(nfield.value());
          if (ov == nv) return;
          add(DiffCode::kExtensionChanged, ofield.value().span(),
              nfield.value().span(),
              where + std::string(ofield.name()) + " changed from " + ov +
                  " to " + nv);
        });
  }

  const SyntaxTree& old_;
  const SyntaxTree& new_;
  const syntax::ContractNode oc_;
  const syntax::ContractNode nc_;
  std::vector<Change> changes_;
};

}  // namespace

std::vector<Change> diff_contracts(const SyntaxTree& old_tree,
                                   const SyntaxTree& new_tree) {
  return Differ(old_tree, new_tree).run();
}

Diagnostic change_diagnostic(const Change& change) {
  const DiffRule& rule = change.rule();
  Diagnostic d;
  // The registry's severity for the class, which `qel check` shows too.
  const Rule* registered = find_rule(rule.code);
  assert(registered != nullptr);
  d.severity = registered->default_severity;
  d.kind = DiagnosticKind::kChange;
  d.message = change.reason;
  d.span = change.new_span;
  d.code = rule.code;
  if (change.new_span) d.range = change.new_range;
  if (change.old_span) {
    d.notes.push_back(Label{change.old_range, "in the old version"});
  }
  d.help = change.note;
  return d;
}

Result<std::vector<Change>> diff_contract_texts(std::string_view old_text,
                                                std::string_view new_text) {
  QEL_ASSIGN_OR_RETURN(const SyntaxTree old_tree, parse_tree(old_text));
  QEL_ASSIGN_OR_RETURN(const SyntaxTree new_tree, parse_tree(new_text));
  return diff_contracts(old_tree, new_tree);
}

}  // namespace qel
