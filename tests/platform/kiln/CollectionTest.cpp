#include <gtest/gtest.h>

#include <vector>

#include "platform/kiln/Collection.h"
#include "tests/platform/kiln/TestEntities.h"

namespace {

using KilnTest::Part;

TEST(Collection, CreatesOnlyWhenAbsentIteratesInKeyOrderAndReleasesWhatLeaves) {
  const int before = Part::live;
  Kiln::Collection<int, Part> parts;
  int made = 0;
  for (int key : {5, 1, 3, 0, 3, 4, 2}) {
    parts.findOrCreate(key, [&] { return ++made, new Part(key); });
  }
  EXPECT_EQ(made, 6);
  for (auto it = parts.begin(); it != parts.end();) {
    it = it->first % 2 ? parts.erase(it) : std::next(it);
  }
  std::vector<int> keys;
  for (const auto& [key, part] : parts) keys.push_back(part->key());
  EXPECT_EQ(keys, (std::vector<int>{0, 2, 4}));
  EXPECT_EQ(Part::live, before + 3);
  EXPECT_FALSE(parts.del(1));
  EXPECT_TRUE(parts.del(2));
  parts.delAll();
  EXPECT_EQ(Part::live, before);
}

// Same behaviour whatever holds the elements; the small storage spills to the heap here.
template <class Queue>
void keysCountFromZeroAndAreNeverReused() {
  Queue q;
  EXPECT_EQ(q.enq('a'), 0u);
  EXPECT_EQ(q.enq('b'), 1u);
  q.deq();
  EXPECT_EQ(q.enq('c'), 2u);
  EXPECT_EQ(q.find(0), nullptr);
  ASSERT_NE(q.find(2), nullptr);
  EXPECT_EQ(*q.find(2), 'c');
  q.clear();
  EXPECT_EQ(q.enq('d'), 3u);
  q.enq('e');
  const Queue copy = q;  // by value: later changes to q stay out of it
  q.clear();
  q.enq('f');
  std::vector<std::pair<std::uint32_t, char>> seen;
  copy.forEach([&](std::uint32_t key, char c) { seen.emplace_back(key, c); });
  EXPECT_EQ(seen, (std::vector<std::pair<std::uint32_t, char>>{{3, 'd'}, {4, 'e'}}));
}

TEST(LinkQueue, KeysCountFromZeroAndAreNeverReused) {
  keysCountFromZeroAndAreNeverReused<Kiln::LinkQueue<char>>();
  using Small = Kiln::SmallVector<char, 1>;
  keysCountFromZeroAndAreNeverReused<Kiln::LinkQueue<char, std::uint32_t, Small>>();
}

}  // namespace
