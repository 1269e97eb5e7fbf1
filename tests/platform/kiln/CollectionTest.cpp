#include <gtest/gtest.h>

#include <vector>

#include "platform/kiln/Collection.h"
#include "tests/platform/kiln/TestEntities.h"

namespace {

using KilnTest::Part;

TEST(Collection, IteratesInKeyOrderAndCreatesOnlyWhenAbsent) {
  Kiln::Collection<int, Part> parts;
  int made = 0;
  auto make = [&](int key) {
    return [&made, key] {
      ++made;
      return new Part(key);
    };
  };
  for (int key : {5, 1, 3}) parts.findOrCreate(key, make(key));
  auto [again, created] = parts.findOrCreate(3, make(3));
  EXPECT_FALSE(created);
  EXPECT_EQ(again, parts.find(3));
  EXPECT_EQ(made, 3);

  std::vector<int> keys;
  for (const auto& [key, part] : parts) keys.push_back(part->key());
  EXPECT_EQ(keys, (std::vector<int>{1, 3, 5}));
  EXPECT_FALSE(parts.find(2));
}

TEST(Collection, EraseThroughTheIteratorAndDeleteAll) {
  const int before = Part::live;
  Kiln::Collection<int, Part> parts;
  for (int key = 0; key < 6; ++key) parts.findOrCreate(key, [key] { return new Part(key); });
  for (auto it = parts.begin(); it != parts.end();) {
    it = it->first % 2 ? parts.erase(it) : std::next(it);
  }
  EXPECT_EQ(parts.size(), 3u);
  EXPECT_EQ(Part::live, before + 3);
  EXPECT_FALSE(parts.del(1));
  EXPECT_TRUE(parts.del(2));
  parts.delAll();
  EXPECT_TRUE(parts.empty());
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
  EXPECT_EQ(q.headKey(), 1u);
  q.clear();
  EXPECT_EQ(q.enq('d'), 3u);
  EXPECT_EQ(q.front(), 'd');

  std::vector<std::pair<std::uint32_t, char>> seen;
  q.enq('e');
  q.forEach([&](std::uint32_t key, char c) { seen.emplace_back(key, c); });
  EXPECT_EQ(seen, (std::vector<std::pair<std::uint32_t, char>>{{3, 'd'}, {4, 'e'}}));
}

TEST(LinkQueue, KeysCountFromZeroAndAreNeverReused) {
  keysCountFromZeroAndAreNeverReused<Kiln::LinkQueue<char>>();
  keysCountFromZeroAndAreNeverReused<Kiln::LinkQueue<char, std::uint32_t, Kiln::SmallVector<char, 1>>>();
}

TEST(SmallVector, SpillsToTheHeapAndCopiesByValue) {
  Kiln::SmallVector<int, 2> v;
  for (int i = 0; i < 5; ++i) v.push_back(i * 10);
  auto copy = v;
  v[0] = 99;
  EXPECT_EQ(std::vector<int>(copy.begin(), copy.end()), (std::vector<int>{0, 10, 20, 30, 40}));
  copy = copy;
  EXPECT_EQ(copy.size(), 5u);
  Kiln::SmallVector<int, 2> small;
  small.push_back(7);
  copy = small;  // back to fewer than fit inline
  EXPECT_EQ(std::vector<int>(copy.begin(), copy.end()), std::vector<int>{7});
}

TEST(LinkQueue, RefusesToWrapOntoTheHead) {
  // 8-bit keys stand in for the 32-bit ones: same arithmetic, 256 instead of 2^32.
  Kiln::LinkQueue<int, std::uint8_t> q;
  for (int i = 0; i < 256; ++i) q.enq(i);
  try {
    q.enq(256);
    FAIL() << "no exception";
  } catch (const Kiln::RangeException& e) {
    EXPECT_STREQ(e.what(), "linkqueue index space full");
  }
  EXPECT_EQ(q.size(), 256u);
  q.deq();  // key 0 leaves, so key 0 is free again
  EXPECT_EQ(q.enq(256), 0u);
  EXPECT_EQ(*q.find(0), 256);
  EXPECT_EQ(*q.find(1), 1);
  EXPECT_EQ(*q.find(255), 255);
}

}  // namespace
