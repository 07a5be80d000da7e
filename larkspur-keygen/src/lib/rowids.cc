// Row ids of whole token sequences.
#include "larkspur-keygen/src/lib/rowids.h"

namespace larkspur::keygen {

void generate_rowids_into(std::span<const std::uint32_t> history,
                          std::span<const std::uint32_t> tokens,
                          std::span<RowIds> out) {
  NgramContext context(history);
  const std::size_t n = tokens.size() < out.size() ? tokens.size() : out.size();
  for (std::size_t i = 0; i < n; ++i) context.next(tokens[i], out[i]);
}

std::vector<RowIds> generate_rowids(std::span<const std::uint32_t> history,
                                    std::span<const std::uint32_t> tokens) {
  std::vector<RowIds> out(tokens.size());
  generate_rowids_into(history, tokens, out);
  return out;
}

}  // namespace larkspur::keygen
