// A map entry made before the provider's lock is taken, so that the section only links it in.
#pragma once

#include <utility>

namespace quillnest {

template <typename Map>
typename Map::node_type makeMapNode(typename Map::key_type key, typename Map::mapped_type value) {
  // Empty between calls; it keeps only its bucket array, so each node costs one allocation.
  thread_local Map scratch;
  return scratch.extract(scratch.try_emplace(std::move(key), std::move(value)).first);
}

}  // namespace quillnest
