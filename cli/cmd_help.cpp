// qel help CODE and qel help rules: the registry, as people and tools read
// it. The README's rule tables are written from `qel help rules --format
// json` (tools/gen_rules_doc.py), so they cannot drift from it.
#include <string>

#include "command.h"
#include "qel/check.h"
#include "qel/contract_diff.h"
#include "qel/json.h"
#include "qel/rules.h"

namespace qel::cli {

namespace {

const char* severity_name(Severity s) {
  return s == Severity::kError ? "error" : "warning";
}

// "L002 state-default-ignored (warning, lint)", then the documentation.
void explain(const Rule& rule, std::string& out) {
  out += rule.code;
  out += ' ';
  out += rule.name;
  out += " (";
  if (const DiffRule* diff = find_diff_rule(rule.code)) {
    // A change has a class rather than a severity.
    out += change_class_name(diff->change_class);
    if (diff->security) out += ", security";
    out += ", contract diff";
  } else {
    out += severity_name(rule.default_severity);
    out += ", ";
    out += diagnostic_kind_name(rule.kind);
  }
  out += ")\n\nWhat it finds: ";
  out += rule.summary;
  out += ".\nWhy it matters: ";
  out += rule.why;
  out += ".\n";
  if (!rule.example.empty()) {
    out += "Example:\n    ";
    out += rule.example;
    out += '\n';
  }
  if (rule.kind != DiagnosticKind::kParse &&
      rule.kind != DiagnosticKind::kChange) {
    out += "Silence one finding with \"// qel: allow ";
    out += rule.code;
    out += "\" at the end of its line or alone on the line above; "
           "--ignore ";
    out += rule.code;
    out += " drops them all.\n";
  }
}

void list_json(std::string& out) {
  JsonWriter w(out);
  w.begin_array();
  for (const Rule& rule : rules()) {
    w.begin_object();
    w.key("code"); w.string(rule.code);
    w.key("name"); w.string(rule.name);
    w.key("kind"); w.string(diagnostic_kind_name(rule.kind));
    w.key("severity"); w.string(severity_name(rule.default_severity));
    w.key("summary"); w.string(rule.summary);
    w.key("why"); w.string(rule.why);
    w.key("example"); w.string(rule.example);
    w.end_object();
  }
  w.end_array();
  out += '\n';
}

void list_text(std::string& out) {
  for (const Rule& rule : rules()) {
    out += rule.code;
    out += "  ";
    out += rule.name;
    out += "  (";
    out += severity_name(rule.default_severity);
    out += ")  ";
    out += rule.summary;
    out += '\n';
  }
}

}  // namespace

bool help_topic(const std::vector<std::string>& args, Io& io, int& status) {
  const std::string& topic = args[1];
  if (topic == "rules") {
    if (args.size() == 2) {
      list_text(io.out);
    } else if (args.size() == 4 && args[2] == "--format" &&
               args[3] == "json") {
      list_json(io.out);
    } else {
      status = usage_error(io, "help rules takes only --format json");
      return true;
    }
    status = 0;
    return true;
  }
  std::string code = topic;
  for (char& c : code) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  const Rule* rule = find_rule(code);
  if (rule == nullptr) return false;
  explain(*rule, io.out);
  status = 0;
  return true;
}

}  // namespace qel::cli
