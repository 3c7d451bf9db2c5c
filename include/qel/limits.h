// Limits that keep every traversal of nested input bounded.
#ifndef QEL_LIMITS_H_
#define QEL_LIMITS_H_

namespace qel {

// Deepest nesting of type expressions, literal values and JSON containers
// that any stage accepts. Every recursive walk in the library is bounded by
// this, so no input can exhaust the stack.
inline constexpr int kMaxNestingDepth = 128;

// Counts one level for as long as it lives; check exceeded() after
// construction.
class DepthGuard {
 public:
  explicit DepthGuard(int& depth) : depth_(depth) { ++depth_; }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

  int level() const { return depth_; }
  bool exceeded() const { return depth_ > kMaxNestingDepth; }

 private:
  int& depth_;
};

}  // namespace qel

#endif  // QEL_LIMITS_H_
