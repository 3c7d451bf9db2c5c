// Folding ranges (blocks and lists over several lines, runs of comment
// lines) and selection ranges (from the token out through every node that
// encloses it), from the tolerant tree.
#include <set>
#include <utility>
#include <vector>

#include "lsp/features.h"

namespace qel::cli::lsp {

namespace {

ByteRange node_range(const Document& doc, const SyntaxTree& tree,
                     const SyntaxTree::Node& n) {
  return ByteRange{doc.body + tree.token_offset(n.first_token),
                   doc.body + tree.token_end(n.last_token)};
}

}  // namespace

Answer folding_range(Session& session, const json& params) {
  Document& doc = session.document(params);
  const SyntaxTree& tree = doc.tree();
  const ColumnUnit unit = session.protocol.encoding;
  const auto line_of = [&](size_t offset) {
    return doc.lines().position_of(offset, unit).line;
  };
  // By start then end line: a field and the list it holds fold as one.
  std::set<std::pair<uint64_t, uint64_t>> blocks;
  for (uint32_t i = 1; i < tree.node_count(); ++i) {
    const SyntaxTree::Node& n = tree.node(i);
    if (n.kind == NodeKind::kError || n.last_token < n.first_token) continue;
    const ByteRange r = node_range(doc, tree, n);
    const uint64_t first = line_of(r.begin);
    // The closing line stays in view.
    const uint64_t last = line_of(r.end);
    if (last > first + 1) blocks.emplace(first, last - 1);
  }
  json out = json::array();
  for (const auto& [first, last] : blocks) {
    out.push_back(json{{"startLine", first}, {"endLine", last}});
  }
  // Comments on consecutive lines, two or more.
  uint64_t run_first = 0;
  uint64_t run_last = 0;
  bool in_run = false;
  const auto close_run = [&] {
    if (in_run && run_last > run_first) {
      out.push_back(json{{"startLine", run_first},
                         {"endLine", run_last},
                         {"kind", "comment"}});
    }
    in_run = false;
  };
  for (uint32_t t = 0; t < tree.token_count(); ++t) {
    if (tree.token_kind(t) != TokenKind::kComment) continue;
    const uint64_t line = line_of(doc.body + tree.token_offset(t));
    if (in_run && line == run_last + 1) {
      run_last = line;
      continue;
    }
    close_run();
    in_run = true;
    run_first = run_last = line;
  }
  close_run();
  return out;
}

Answer selection_range(Session& session, const json& params) {
  Document& doc = session.document(params);
  const SyntaxTree& tree = doc.tree();
  json out = json::array();
  for (const json& position : params.at("positions")) {
    const size_t offset = session.protocol.offset_of(doc, position);
    // Outermost first: the document, then each node holding the offset.
    std::vector<ByteRange> chain{ByteRange{0, doc.text.size()}};
    if (offset >= doc.body && tree.node_count() > 0) {
      const size_t at = offset - doc.body;
      uint32_t parent = 0;
      for (;;) {
        uint32_t child = parent + 1;
        const uint32_t end = tree.node(parent).next;
        bool found = false;
        while (child < end) {
          const SyntaxTree::Node& n = tree.node(child);
          if (n.last_token >= n.first_token) {
            const ByteRange r = node_range(doc, tree, n);
            if (r.contains(at + doc.body)) {
              chain.push_back(r);
              found = true;
              break;
            }
          }
          child = n.next;
        }
        if (!found) break;
        parent = child;
      }
      const uint32_t token = tree.token_at(static_cast<uint32_t>(at));
      if (tree.token_kind(token) != TokenKind::kEof) {
        const ByteRange r{doc.body + tree.token_offset(token),
                          doc.body + tree.token_end(token)};
        if (r.contains(offset)) chain.push_back(r);
      }
    }
    // Innermost first, each range once.
    json selection;
    ByteRange last{1, 0};
    for (const ByteRange& r : chain) {
      if (r.begin == last.begin && r.end == last.end) continue;
      last = r;
      json next{{"range", session.protocol.range(doc, r)}};
      if (!selection.is_null()) next["parent"] = std::move(selection);
      selection = std::move(next);
    }
    out.push_back(std::move(selection));
  }
  return out;
}

}  // namespace qel::cli::lsp
