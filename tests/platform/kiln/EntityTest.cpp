#include <gtest/gtest.h>

#include "platform/kiln/Dir.h"
#include "platform/kiln/Errors.h"
#include "tests/platform/kiln/TestEntities.h"

namespace {

using KilnTest::Part;

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

TEST(Entity, TextNamesThePathFromTheRoot) {
  auto dir = Kiln::make<Kiln::Dir>("cfm");
  dir->entityIs("3", Kiln::make<Part>(3));
  const std::string text = Kiln::entityText(dir->entity("3").get());
  EXPECT_EQ(text.rfind("cfm/3@0x", 0), 0u) << text;
  EXPECT_EQ(Kiln::entityText(nullptr), "null");
}

// An assertion stops the process naming its condition, whatever handler was installed.
TEST(AssertionDeathTest, DefaultHandlerAbortsNamingTheCondition) {
  EXPECT_DEATH(KILN_ASSERT(1 + 1 == 3), "assertion failed: 1 \\+ 1 == 3");
  EXPECT_DEATH(Kiln::assertionHandlerIs([](const char*, const char*, int) {});
               KILN_ASSERT(false), "assertion failed: false");
}

}  // namespace
