#include <gtest/gtest.h>

#include <string>

#include "platform/kiln/Collection.h"
#include "platform/kiln/Errors.h"

namespace {

// Counts its live instances, so that tests see exactly when the last reference went.
struct Part : Kiln::Entity {
  explicit Part(int key) : key(key) { ++live; }
  ~Part() override { --live; }
  const int key;
  static inline int live = 0;
};

TEST(Ptr, CopiesOfEveryKindShareOneCountAndTheLastReleaseDestroys) {
  const int before = Part::live;
  {
    Kiln::Ptr<Part> a = Kiln::make<Part>(1);
    {
      Kiln::Ptr<Part> b = a;
      Kiln::PtrConst<Part> c = a;
      Kiln::Ptr<Kiln::Entity> d = a;
      EXPECT_EQ(a->refCount(), 4u);
      EXPECT_TRUE(b == c && c == d);
    }
    Kiln::Ptr<Part>& alias = a;
    a = alias;  // self-assignment must not release the entity
    Kiln::Ptr<Part> moved = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_EQ(moved->refCount(), 1u);
    EXPECT_EQ(Part::live, before + 1);
  }
  EXPECT_EQ(Part::live, before);
}

// Whichever way a member leaves, the collection lets go of it.
TEST(Collection, ReleasesEveryMemberThatLeaves) {
  const int before = Part::live;
  Kiln::Collection<int, Part> parts;
  for (int key = 0; key < 6; ++key) parts.findOrCreate(key, [key] { return new Part(key); });
  for (auto it = parts.begin(); it != parts.end();) {
    it = it->first % 2 ? parts.erase(it) : std::next(it);
  }
  EXPECT_EQ(Part::live, before + 3);
  EXPECT_FALSE(parts.del(1));
  EXPECT_TRUE(parts.del(2));
  parts.delAll();
  EXPECT_EQ(Part::live, before);
}

// Keys follow arrival and are never reused, whatever holds the elements (the small storage
// spills to the heap here); a copy is a value of its own.
template <class Queue>
void keysFollowArrivalAndAreNeverReused() {
  Queue q;
  q.enq('a');
  q.deq();
  EXPECT_EQ(q.enq('b'), 1u);
  q.clear();
  EXPECT_EQ(q.enq('c'), 2u);
  q.enq('d');
  EXPECT_EQ(q.find(1), nullptr);
  const Queue copy = q;
  q.clear();
  q.enq('x');
  std::string seen;
  copy.forEach([&](std::uint32_t key, char c) { seen += std::to_string(key) + c; });
  EXPECT_EQ(seen, "2c3d");
}

TEST(LinkQueue, KeysFollowArrivalAndAreNeverReused) {
  using Small = Kiln::SmallVector<char, 1>;
  keysFollowArrivalAndAreNeverReused<Kiln::LinkQueue<char>>();
  keysFollowArrivalAndAreNeverReused<Kiln::LinkQueue<char, std::uint32_t, Small>>();
}

// An assertion stops the process naming its condition, whatever handler was installed.
TEST(AssertionDeathTest, DefaultHandlerAbortsNamingTheCondition) {
  EXPECT_DEATH(KILN_ASSERT(1 + 1 == 3), "assertion failed: 1 \\+ 1 == 3");
  EXPECT_DEATH(Kiln::assertionHandlerIs([](const char*, const char*, int) {});
               KILN_ASSERT(false), "assertion failed: false");
}

}  // namespace
