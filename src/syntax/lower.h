// Pieces of lowering shared by the model, the contract JSON and the lints.
#ifndef QEL_SYNTAX_LOWER_H_
#define QEL_SYNTAX_LOWER_H_

#include <cstdint>

#include "qel/json.h"
#include "qel/syntax_tree.h"

namespace qel::detail {

inline constexpr uint64_t kMaxVersion = 4294967295u;

// A declared state field's member value in the model: the type text, or,
// with a default, {"default": literal, "type": text}.
Json lower_state_member(const syntax::StateField& field);

// The written version when the model can hold it; saturated otherwise
// (parse_contract refuses such a version before lowering).
inline uint32_t lower_version(int64_t version) {
  if (version < 0) return 0;
  if (static_cast<uint64_t>(version) > kMaxVersion) {
    return static_cast<uint32_t>(kMaxVersion);
  }
  return static_cast<uint32_t>(version);
}

}  // namespace qel::detail

#endif  // QEL_SYNTAX_LOWER_H_
