// The provider's flat flow map against std::map under random inserts, replacements and removals,
// on arrays small enough that probe runs wrap around the end and removals shift entries back
// across it.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>

#include "provider/flow_map.h"

namespace quillnest {
namespace {

UUID key(int n) {
  UUID::Bytes bytes{};
  bytes[15] = static_cast<std::uint8_t>(n);
  return UUID(bytes);
}

void grow(FlowMap<std::unique_ptr<int>>& map) {
  if (!map.hasRoomForOneMore()) {
    map.adopt(FlowMap<std::unique_ptr<int>>::allocate(map.largerCapacity()), map.largerCapacity());
  }
}

TEST(FlowMap, AgreesWithAnOrderedMapUnderRandomChanges) {
  for (const int keys : {3, 40, 200}) {
    std::mt19937 random(static_cast<unsigned>(keys));
    FlowMap<std::unique_ptr<int>> map;
    std::map<int, int> expected;
    for (int step = 0; step < 20000; ++step) {
      const int k = static_cast<int>(random() % static_cast<unsigned>(keys));
      if (random() % 2 == 0) {
        grow(map);
        const std::unique_ptr<int> replaced = map.insert(key(k), std::make_unique<int>(step));
        ASSERT_EQ(replaced != nullptr, expected.contains(k)) << "key " << k;
        if (replaced) {
          ASSERT_EQ(*replaced, expected[k]);
        }
        expected[k] = step;
      } else {
        const std::unique_ptr<int> removed = map.extract(key(k));
        ASSERT_EQ(removed != nullptr, expected.erase(k) == 1) << "key " << k;
      }
      ASSERT_EQ(map.size(), expected.size());
      if (step % 97 == 0) {
        for (int other = 0; other < keys; ++other) {
          const std::unique_ptr<int>* found = map.find(key(other));
          const auto entry = expected.find(other);
          ASSERT_EQ(found != nullptr, entry != expected.end()) << "key " << other;
          if (found != nullptr) {
            ASSERT_EQ(**found, entry->second);
          }
        }
      }
    }
    std::size_t visited = 0;
    map.forEach([&](const UUID&, const std::unique_ptr<int>&) { ++visited; });
    EXPECT_EQ(visited, expected.size());
  }
}

}  // namespace
}  // namespace quillnest
