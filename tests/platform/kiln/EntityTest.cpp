#include <gtest/gtest.h>

#include <unordered_set>

#include "platform/kiln/Entity.h"
#include "platform/kiln/Errors.h"
#include "tests/platform/kiln/TestEntities.h"

namespace {

using KilnTest::Part;

TEST(Ptr, LastReleaseDestroysAndCopiesShareOneCount) {
  const int before = Part::live;
  {
    Kiln::Ptr<Part> a = Kiln::make<Part>(1);
    EXPECT_EQ(a->refCount(), 1u);
    {
      Kiln::Ptr<Part> b = a;
      Kiln::PtrConst<Part> c = a;
      Kiln::Ptr<Kiln::Entity> d = a;
      EXPECT_EQ(a->refCount(), 4u);
      EXPECT_TRUE(b == c && c == d);
    }
    EXPECT_EQ(a->refCount(), 1u);
    Kiln::Ptr<Part> moved = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_EQ(moved->refCount(), 1u);
    EXPECT_EQ(Part::live, before + 1);
  }
  EXPECT_EQ(Part::live, before);
}

TEST(Ptr, SelfAssignmentKeepsTheEntity) {
  Kiln::Ptr<Part> a = Kiln::make<Part>(2);
  Kiln::Ptr<Part>& alias = a;
  a = alias;
  ASSERT_TRUE(a);
  EXPECT_EQ(a->refCount(), 1u);
}

TEST(Ptr, CastFindsTheDynamicType) {
  Kiln::Ptr<Kiln::Entity> entity = Kiln::make<Part>(3);
  EXPECT_TRUE(Kiln::ptrCast<Part>(entity));
  EXPECT_FALSE(Kiln::ptrCast<KilnTest::Widget>(entity));
  EXPECT_FALSE(Kiln::ptrCast<Part>(Kiln::Ptr<Kiln::Entity>()));
}

TEST(Ptr, HashesByIdentity) {
  auto a = Kiln::make<Part>(1);
  auto b = Kiln::make<Part>(1);
  std::unordered_set<Kiln::Ptr<Part>> set{a, a, b};
  EXPECT_EQ(set.size(), 2u);
}

TEST(Ptr, ValidPtrRefusesNullWithTheExactText) {
  try {
    Kiln::validPtr(Kiln::Ptr<Part>());
    FAIL() << "no exception";
  } catch (const Kiln::RangeException& e) {
    EXPECT_STREQ(e.what(), "null ValidPtr");
  }
  auto p = Kiln::make<Part>(4);
  EXPECT_EQ(Kiln::validPtr(p), p);
}

TEST(Entity, FullNameAndTextFollowParents) {
  KilnTest::Widget widget("cfm");
  auto part = widget.partIs(3);
  EXPECT_EQ(part->parent(), &widget);
  EXPECT_EQ(part->fullName(), "cfm/3");
  const std::string text = Kiln::entityText(part.get());
  EXPECT_EQ(text.rfind("cfm/3@0x", 0), 0u) << text;
  EXPECT_EQ(Kiln::entityText(nullptr), "null");
}

TEST(Assertion, ThrowingHandlerReportsTheConditionText) {
  Kiln::ThrowingAssertionScope scope;
  const int level = 9;
  try {
    KILN_ASSERT(level < 8);
    FAIL() << "no assertion";
  } catch (const Kiln::AssertionFailure& e) {
    EXPECT_STREQ(e.what(), "level < 8");
  }
  EXPECT_THROW(KILN_ASSERT_TEXT(false, "checkOffsetBounds()"), Kiln::AssertionFailure);
  KILN_ASSERT(level == 9);  // a holding condition does nothing
}

TEST(AssertionDeathTest, DefaultHandlerAborts) {
  EXPECT_DEATH(KILN_ASSERT(1 + 1 == 3), "assertion failed: 1 \\+ 1 == 3");
}

}  // namespace
