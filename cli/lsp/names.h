// What a position names in the outline: a declaration, or a name in a
// condition and the declarations it refers to. Hover, definition and
// references all start here.
#ifndef QEL_CLI_LSP_NAMES_H_
#define QEL_CLI_LSP_NAMES_H_

#include <cstddef>
#include <optional>
#include <vector>

#include "lsp/outline.h"

namespace qel::cli::lsp {

struct Hit {
  ByteRange range;
  std::vector<Target> targets;          // what the name refers to
  const Declaration* nested = nullptr;  // a field of an Object type
};

std::optional<Hit> hit_at(const Outline& outline, size_t offset);

const Declaration& declaration_of(const Outline& outline,
                                  const Target& target);

}  // namespace qel::cli::lsp

#endif  // QEL_CLI_LSP_NAMES_H_
