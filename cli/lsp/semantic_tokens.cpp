// Semantic tokens of the whole document, so that an editor without the
// language's grammar still colours it: section keywords, types, field
// names, strings, numbers and comments, from the tolerant tree's tokens.
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "lsp/features.h"
#include "qel/token.h"

namespace qel::cli::lsp {

namespace {

enum TokenType : uint32_t { kKeyword, kType, kProperty, kString, kNumber, kComment };

std::optional<TokenType> type_of(TokenKind kind) {
  using K = TokenKind;
  switch (kind) {
    case K::kContract: case K::kIdentity: case K::kPurposeStatement:
    case K::kDataSemantics: case K::kBehavioralSemantics:
    case K::kExecutionConstraints: case K::kHumanMachineContract:
    case K::kExtensions: case K::kBooleanLiteral:
      return kKeyword;
    case K::kIntegerType: case K::kFloatType: case K::kStringType:
    case K::kBooleanType: case K::kIso8601Type: case K::kUuidType:
    case K::kArrayType: case K::kMapType: case K::kObjectType:
    case K::kEnumType:
      return kType;
    case K::kIdentifier: return kProperty;
    case K::kStringLiteral: return kString;
    case K::kIntegerLiteral: case K::kFloatLiteral: return kNumber;
    case K::kComment: return kComment;
    default: return std::nullopt;
  }
}

// The length of `s` in the negotiated unit.
uint32_t units(std::string_view s, ColumnUnit unit) {
  if (unit == ColumnUnit::kUtf8) return static_cast<uint32_t>(s.size());
  uint32_t n = 0;
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if ((b & 0xC0) != 0x80) n += b >= 0xF0 ? 2 : 1;
  }
  return n;
}

bool has_break(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

json semantic_tokens_legend() {
  return json{{"tokenTypes", {"keyword", "type", "property", "string",
                              "number", "comment"}},
              {"tokenModifiers", json::array()}};
}

Answer semantic_tokens_full(Session& session, const json& params) {
  Document& doc = session.document(params);
  const SyntaxTree& tree = doc.tree();
  const ColumnUnit unit = session.protocol.encoding;
  const std::string_view text = doc.text;
  std::vector<uint32_t> data;
  // Positions go from one token to the next: only a token on a new line
  // needs the line index.
  uint64_t line = 0;
  uint64_t column = 0;
  size_t at = 0;
  for (uint32_t t = 0; t + 1 < tree.token_count(); ++t) {
    const std::optional<TokenType> type = type_of(tree.token_kind(t));
    if (!type) continue;
    const size_t begin = doc.body + tree.token_offset(t);
    const size_t end = doc.body + tree.token_end(t);
    const std::string_view written = text.substr(begin, end - begin);
    if (has_break(written)) continue;  // one line per token, as clients draw
    uint64_t new_line;
    uint64_t new_column;
    if (has_break(text.substr(at, begin - at))) {
      const LineColumn p = doc.lines().position_of(begin, unit);
      new_line = p.line;
      new_column = p.column;
    } else {
      new_line = line;
      new_column = column + units(text.substr(at, begin - at), unit);
    }
    data.push_back(static_cast<uint32_t>(new_line - line));
    data.push_back(static_cast<uint32_t>(new_line == line ? new_column - column
                                                          : new_column));
    data.push_back(units(written, unit));
    data.push_back(*type);
    data.push_back(0);
    line = new_line;
    column = new_column;
    at = begin;
  }
  return json{{"data", std::move(data)}};
}

}  // namespace qel::cli::lsp
