// The outline of a document: its sections, state fields, operations with
// their parameters, and extensions, nested or as a flat list.
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lsp/features.h"
#include "qel/json.h"

namespace qel::cli::lsp {

namespace {

// The protocol's symbol kinds that the outline uses.
constexpr int kSymbolModule = 2;
constexpr int kSymbolNamespace = 3;
constexpr int kSymbolMethod = 6;
constexpr int kSymbolProperty = 7;
constexpr int kSymbolField = 8;
constexpr int kSymbolVariable = 13;
constexpr int kSymbolStruct = 23;

// Writes symbols as JSON text: nested DocumentSymbols, or for a client that
// takes only a list, SymbolInformation with each symbol's container.
class SymbolWriter {
 public:
  using RangeWriter = std::function<void(std::string&, ByteRange)>;
  SymbolWriter(bool hierarchical, std::string_view uri, RangeWriter range)
      : hierarchical_(hierarchical), uri_(uri), range_(std::move(range)) {
    out_ += '[';
  }

  // Opens a symbol; the symbols opened before its close() are its children.
  void open(std::string_view name, int kind, std::string_view detail,
            ByteRange whole, ByteRange selection) {
    // Clients reject a symbol without a name.
    if (name.empty()) name = "\"\"";
    // Children go in the innermost open symbol; a flat list has one level.
    auto first = hierarchical_ ? first_.back() : first_.front();
    if (!first) out_ += ',';
    first = false;
    out_ += "{\"name\":";
    append_json_string(out_, name);
    out_ += ",\"kind\":";
    append_int(out_, kind);
    if (hierarchical_) {
      if (!detail.empty()) {
        out_ += ",\"detail\":";
        append_json_string(out_, detail);
      }
      out_ += ",\"range\":";
      range_(out_, whole);
      out_ += ",\"selectionRange\":";
      range_(out_, selection);
      out_ += ",\"children\":[";
      first_.push_back(true);
      return;
    }
    out_ += ",\"location\":{\"uri\":";
    append_json_string(out_, uri_);
    out_ += ",\"range\":";
    range_(out_, whole);
    out_ += '}';
    if (!containers_.empty()) {
      out_ += ",\"containerName\":";
      append_json_string(out_, containers_.back());
    }
    out_ += '}';
    containers_.push_back(name);
  }

  void close() {
    if (hierarchical_) {
      out_ += "]}";
      first_.pop_back();
    } else {
      containers_.pop_back();
    }
  }

  void leaf(std::string_view name, int kind, std::string_view detail,
            ByteRange whole, ByteRange selection) {
    open(name, kind, detail, whole, selection);
    close();
  }

  std::string take() {
    out_ += ']';
    return std::move(out_);
  }

 private:
  bool hierarchical_;
  std::string_view uri_;
  RangeWriter range_;
  std::string out_;
  std::vector<bool> first_{true};  // per open list: nothing written yet
  std::vector<std::string_view> containers_;
};

// Object fields nest as deep as the parser allows, and no deeper.
void write_declaration(SymbolWriter& w, const Declaration& d, int kind) {
  w.open(d.name, kind, d.type, d.range, d.name_range);
  for (const Declaration& f : d.fields) {
    write_declaration(w, f, kSymbolField);
  }
  w.close();
}

}  // namespace

Answer document_symbol(Session& session, const json& params) {
  Document& doc = session.document(params);
  const Protocol& protocol = session.protocol;
  const Outline* outline = &doc.get_outline();
  SymbolWriter w(protocol.hierarchical_symbols, document_uri(params),
                 [&](std::string& out, ByteRange r) {
                   protocol.append_range(out, doc, r);
                 });
  const auto section = [&](const Section& s) {
    w.open(s.name, kSymbolNamespace, "", s.range, s.name_range);
    if (s.name == "DataSemantics") {
      for (const Declaration& d : outline->state) {
        write_declaration(w, d, kSymbolField);
      }
    } else if (s.name == "BehavioralSemantics") {
      std::string signature;
      for (const OutlinedOperation& op : outline->operations) {
        signature.clear();
        signature += '(';
        for (const Declaration& p : op.parameters) {
          if (signature.size() > 1) signature += ", ";
          signature += p.name;
          signature += ": ";
          signature += p.type;
        }
        signature += ')';
        w.open(op.name, kSymbolMethod, signature, op.range, op.name_range);
        for (const Declaration& p : op.parameters) {
          write_declaration(w, p, kSymbolVariable);
        }
        w.close();
      }
    } else if (s.name == "Extensions") {
      for (const Extension& e : outline->extensions) {
        w.open(e.name, kSymbolStruct, "", e.range, e.name_range);
        for (const ExtensionField& f : e.fields) {
          w.leaf(f.name, kSymbolProperty, "", f.range, f.name_range);
        }
        w.close();
      }
    }
    w.close();
  };
  // Sections written without the contract around them stand alone.
  if (const auto& contract = outline->contract) {
    w.open(contract->name, kSymbolModule, "", contract->range,
           contract->name_range);
  }
  for (const Section& s : outline->sections) section(s);
  if (outline->contract) w.close();
  if (outline->extensions_section) section(*outline->extensions_section);
  return Answer::text(w.take());
}

// ---- Names: hover, definition, references -----------------------------------------

}  // namespace qel::cli::lsp
