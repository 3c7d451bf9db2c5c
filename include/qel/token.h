// Tokens of the contract language and their description, the text form in
// which parser messages show them (Identifier("owner"), FloatLiteral(0.5),
// Eof).
#ifndef QEL_TOKEN_H_
#define QEL_TOKEN_H_

#include <cstdint>
#include <string>

#include "qel/span.h"

namespace qel {

// Declaration order matters: the names below appear in messages.
enum class TokenKind : uint8_t {
  kContract,
  kIdentity,
  kPurposeStatement,
  kDataSemantics,
  kBehavioralSemantics,
  kExecutionConstraints,
  kHumanMachineContract,
  kExtensions,
  kIntegerType,
  kFloatType,
  kStringType,
  kBooleanType,
  kIso8601Type,
  kUuidType,
  kArrayType,
  kMapType,
  kObjectType,
  kEnumType,
  kStringLiteral,   // text
  kIntegerLiteral,  // integer
  kFloatLiteral,    // number
  kBooleanLiteral,  // boolean
  kLBrace,
  kRBrace,
  kLBracket,
  kRBracket,
  kLAngle,
  kRAngle,
  kColon,
  kComma,
  kEquals,
  kIdentifier,  // text
  kEof,
  // "//" up to the line feed. Only the syntax tree keeps comments; the
  // grammar passes over them.
  kComment,
};

inline constexpr int kTokenKindCount = 34;

// The kind's name as messages show it: "Contract", "IntegerType", "LBrace",
// "StringLiteral", "Eof", "Comment".
const char* token_kind_name(TokenKind kind);

// A token with its payload; only the payload field of its kind is used.
struct Token {
  TokenKind kind = TokenKind::kEof;
  std::string text;     // kStringLiteral, kIdentifier
  int64_t integer = 0;  // kIntegerLiteral
  double number = 0.0;  // kFloatLiteral
  bool boolean = false;  // kBooleanLiteral

  // Same kind and equal payload (texts byte for byte).
  bool operator==(const Token& other) const;
};

struct SpannedToken {
  Token token;
  Span span;  // the first character; for Eof, just after the last one
};

// The kind name, then for a payload kind the payload in parentheses: texts
// quoted with \\ \" \n \r \t \0 and \u{hex} escapes, floats in shortest
// round-trip form (1.0, 1e16, 1.5e-5, inf).
std::string token_description(const Token& token);

}  // namespace qel

#endif  // QEL_TOKEN_H_
