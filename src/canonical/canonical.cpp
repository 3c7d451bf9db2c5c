#include "qel/canonical.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "canonical/canonical_hash.h"
#include "canonical/canonical_writer.h"
#include "qel/parser.h"
#include "util/large_pages.h"
#include "util/string_result.h"

namespace qel {

namespace detail {

namespace {

HashText to_hex(const unsigned char* digest, unsigned int length) {
  if (length * 2 != kHashTextLength) throw std::bad_alloc();
  static constexpr char kHex[] = "0123456789abcdef";
  HashText hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 15];
  }
  return hex;
}

}  // namespace

// libcrypto's digest calls fail only when it cannot allocate its context;
// they are reported like any other allocation failure.
HashText sha256_hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(),
                 nullptr) != 1) {
    throw std::bad_alloc();
  }
  return to_hex(digest, length);
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (context_ == nullptr) throw std::bad_alloc();
  if (EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(context_);
    throw std::bad_alloc();
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(context_); }

void Sha256::update(std::string_view bytes) {
  if (EVP_DigestUpdate(context_, bytes.data(), bytes.size()) != 1) {
    throw std::bad_alloc();
  }
}

HashText Sha256::finish() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_, digest, &length) != 1) {
    throw std::bad_alloc();
  }
  return to_hex(digest, length);
}

}  // namespace detail

namespace {

// Bytes hashed between two questions to the interrupter: about a
// millisecond of SHA-256.
constexpr std::size_t kHashedPerPoll = std::size_t{1} << 20;

// SHA-256 of `text` as hex, asking `poll` between pieces; nothing once it
// has said stop.
std::optional<detail::HashText> hash_in_pieces(std::string_view text,
                                               detail::InterruptPoll& poll) {
  detail::Sha256 digest;
  while (!text.empty()) {
    if (poll.tick()) return std::nullopt;
    const std::size_t n = std::min(text.size(), kHashedPerPoll);
    digest.update(text.substr(0, n));
    text.remove_prefix(n);
  }
  return digest.finish();
}

// The canonical text appended to `out`; false when `interrupter` said stop,
// `out` then holding a part of it.
bool write_canonical(const SyntaxTree& tree, Output& out,
                     const Interrupter& interrupter) {
  // Room for what is about sure to be written; an output that takes large
  // pages takes them for this part only.
  out.reserve(out.size() + tree.source().size() + 1024);
  const std::size_t start = out.size();
  detail::CanonicalWriter writer(tree, out, interrupter);
  const std::size_t hash_offset = writer.write_contract();
  if (writer.interrupted()) return false;
  detail::InterruptPoll poll(interrupter, 1);
  const std::optional<detail::HashText> hex = hash_in_pieces(
      std::string_view(out.data() + start, out.size() - start), poll);
  if (!hex) return false;
  std::memcpy(out.data() + hash_offset, hex->data(), hex->size());
  return true;
}

// The hash of the canonical text, written piece by piece and never held
// whole; nothing when `interrupter` said stop.
std::optional<std::string> hash_canonical(const SyntaxTree& tree,
                                          const Interrupter& interrupter) {
  struct DigestSink final : detail::PieceSink {
    void take(std::string_view piece) override { digest.update(piece); }
    detail::Sha256 digest;
  } sink;
  std::string piece;
  detail::CanonicalWriter writer(tree, piece, interrupter);
  writer.stream_to(sink);
  (void)writer.write_contract();
  if (writer.interrupted()) return std::nullopt;
  sink.take(piece);
  const detail::HashText hex = sink.digest.finish();
  return std::string(hex.data(), hex.size());
}

// Compares the pieces of a rendering with a text, bytes in the hash
// window against zeros; remembers the first difference.
class Comparison final : public detail::PieceSink {
 public:
  Comparison(std::string_view text, std::size_t hash_offset)
      : text_(text), hash_begin_(hash_offset),
        hash_end_(hash_offset + detail::kHashTextLength) {}

  void take(std::string_view piece) override {
    for (std::size_t i = 0; i < piece.size() && !difference_;) {
      const std::size_t at = at_ + i;
      if (at >= text_.size()) {
        difference_ = at;
      } else if (at >= hash_begin_ && at < hash_end_) {
        if (piece[i] != '0') difference_ = at;
        ++i;
      } else {
        const std::size_t stop = at < hash_begin_ ? hash_begin_ : text_.size();
        const std::size_t n =
            std::min({piece.size() - i, stop - at, text_.size() - at});
        const std::string_view mine = piece.substr(i, n);
        const std::string_view theirs = text_.substr(at, n);
        if (mine != theirs) {
          std::size_t k = 0;
          while (mine[k] == theirs[k]) ++k;
          difference_ = at + k;
        }
        i += n;
      }
    }
    at_ += piece.size();
  }

  // After the last piece: a text that goes on differs where the rendering
  // ended.
  std::optional<std::size_t> difference() const {
    if (!difference_ && at_ != text_.size()) return at_;
    return difference_;
  }

 private:
  std::string_view text_;
  std::size_t hash_begin_, hash_end_;
  std::size_t at_ = 0;  // where the next piece goes in text_
  std::optional<std::size_t> difference_;
};

}  // namespace

// One rendering serves both the hash and the result: the hash is taken over
// the text with zeros in the hash line, then written over the zeros.
CanonicalText render_canonical(const SyntaxTree& tree) {
  CanonicalText c;
  std::string& out = c.text;
  // Reserved, not written: pages past the text's end are never touched.
  // Large pages only for about the part that will be written (the canonical
  // text of a typical contract is a little longer than its source): the
  // last one is faulted in whole.
  out.reserve(detail::canonical_size_bound(tree));
  detail::advise_large_pages(out.data(),
                             std::min(out.capacity(), tree.source().size()));
  detail::CanonicalWriter writer(tree, out);
  c.hash_offset = writer.write_contract();
  const detail::HashText hex = detail::sha256_hex(out);
  std::memcpy(out.data() + c.hash_offset, hex.data(), hex.size());
  return c;
}

std::string serialize_canonical(const SyntaxTree& tree) {
  return render_canonical(tree).text;
}

std::optional<std::size_t> canonical_difference(const SyntaxTree& tree,
                                                std::string_view text,
                                                std::size_t hash_offset) {
  Comparison comparison(text, hash_offset);
  std::string piece;
  detail::CanonicalWriter writer(tree, piece);
  writer.stream_to(comparison);
  (void)writer.write_contract();
  comparison.take(piece);
  return comparison.difference();
}

void serialize_canonical(const SyntaxTree& tree, Output& out) {
  (void)write_canonical(tree, out, {});
}

std::string compute_semantic_hash(const SyntaxTree& tree) {
  return *hash_canonical(tree, {});
}

Result<std::string> normalize(std::string_view text,
                              const Interrupter& interrupter) {
  return detail::string_result(
      [&](Output& out) { return normalize(text, out, interrupter); });
}

std::optional<Error> normalize(std::string_view text, Output& out,
                               const Interrupter& interrupter) {
  Result<SyntaxTree> tree = parse_tree(text, interrupter);
  if (!tree.ok()) return std::move(tree).error();
  if (!write_canonical(*tree, out, interrupter)) return Error::interrupted();
  return std::nullopt;
}

Result<std::string> semantic_hash(std::string_view text,
                                  const Interrupter& interrupter) {
  QEL_ASSIGN_OR_RETURN(SyntaxTree tree, parse_tree(text, interrupter));
  std::optional<std::string> hash = hash_canonical(tree, interrupter);
  if (!hash) return Error::interrupted();
  return std::move(*hash);
}

}  // namespace qel
