#include "Q7UniversalFunPtr_Template.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace Q7::Universal;

namespace
{

int g_sum = 0;

void AddFree(int a, int b)
{
    g_sum += a + b;
}

void SubFree(int a, int b)
{
    g_sum -= a + b;
}

int Answer()
{
    return 42;
}

class Counter
{
public:
    void Add(int a, int b) { total += a + b; }
    void Sub(int a, int b) { total -= a + b; }
    int Get() { return total; }
    void Set(int v) { total = v; }
    std::string Join(const std::string& a, int b, char c) { return a + std::to_string(b) + c; }
    int total = 0;
};

// Two bases, so that a member of the second base needs a this-adjustment.
class Left
{
public:
    virtual ~Left() = default;
    void Touch(int, int) { left = true; }
    bool left = false;
};

class Right
{
public:
    virtual ~Right() = default;
    void Touch2(int a, int b) { right = a + b; }
    int right = 0;
};

class Both : public Left, public Right
{
};

using Handler2 = FunctionPointer2<void, int, int>;
using CounterObject = MemberFunctionObject2<Counter, void, int, int>;
using FreeObject = PointerFunctionObject2<void, int, int>;

} // namespace

TEST(FunctionObjectTest, PointerObjectCallsAndCompares)
{
    FreeObject add(&AddFree);
    FreeObject add2(&AddFree);
    FreeObject sub(&SubFree);
    g_sum = 0;
    add(1, 2);
    EXPECT_EQ(g_sum, 3);
    EXPECT_FALSE(add.IsNull());
    EXPECT_TRUE(add.IsEqual(add2));
    EXPECT_FALSE(add.IsEqual(sub));
    std::unique_ptr<FunctionInterface2<void, int, int>> clone(add.Clone());
    EXPECT_TRUE(clone->IsEqual(add));
    EXPECT_TRUE(add.IsEqual(*clone));
    EXPECT_TRUE(FreeObject(nullptr).IsNull());
}

TEST(FunctionObjectTest, MemberObjectCallsAndCompares)
{
    Counter a;
    Counter b;
    CounterObject aAdd(&a, &Counter::Add);
    aAdd(2, 3);
    EXPECT_EQ(a.total, 5);
    EXPECT_TRUE(aAdd.IsEqual(CounterObject(&a, &Counter::Add)));
    // Same object, other member; same member, other object.
    EXPECT_FALSE(aAdd.IsEqual(CounterObject(&a, &Counter::Sub)));
    EXPECT_FALSE(aAdd.IsEqual(CounterObject(&b, &Counter::Add)));
    EXPECT_TRUE(CounterObject(nullptr, &Counter::Add).IsNull());
    EXPECT_TRUE(CounterObject(&a, nullptr).IsNull());
    std::unique_ptr<FunctionInterface2<void, int, int>> clone(aAdd.Clone());
    EXPECT_TRUE(clone->IsEqual(aAdd));
}

// A pointer object and a member object of the same signature are never equal.
TEST(FunctionObjectTest, PointerAndMemberObjectsNeverEqual)
{
    Counter a;
    FreeObject add(&AddFree);
    CounterObject member(&a, &Counter::Add);
    EXPECT_FALSE(add.IsEqual(member));
    EXPECT_FALSE(member.IsEqual(add));
}

TEST(FunctionPointerTest, HoldersOfAllArities)
{
    Counter c;
    FunctionPointer0<int> get(&c, &Counter::Get);
    FunctionPointer1<void, int> set(&c, &Counter::Set);
    FunctionPointer3<std::string, const std::string&, int, char> join(&c, &Counter::Join);
    set(7);
    EXPECT_EQ(get(), 7);
    EXPECT_EQ(join("x", 5, 'y'), "x5y");
    FunctionPointer0<int> answer(&Answer);
    EXPECT_EQ(answer(), 42);
}

TEST(FunctionPointerTest, EmptyHoldersCompareEqualToNull)
{
    Counter c;
    const Handler2 empty;
    const Handler2 nullObject(static_cast<Counter*>(nullptr), &Counter::Add);
    const Handler2 nullMember(&c, static_cast<void (Counter::*)(int, int)>(nullptr));
    EXPECT_TRUE(empty == 0);
    EXPECT_TRUE(nullObject == 0);
    EXPECT_TRUE(nullMember == nullptr);
    EXPECT_EQ(nullObject.Get(), nullptr);
    EXPECT_TRUE(empty == nullObject);
    const Handler2 bound(&c, &Counter::Add);
    EXPECT_TRUE(bound != 0);
    EXPECT_FALSE(bound == empty);
    EXPECT_FALSE(empty == bound);
}

TEST(FunctionPointerTest, EqualityFollowsTheBinding)
{
    Counter a;
    Counter b;
    const Handler2 aAdd(&a, &Counter::Add);
    EXPECT_TRUE(aAdd == Handler2(&a, &Counter::Add));
    EXPECT_FALSE(aAdd == Handler2(&a, &Counter::Sub));
    EXPECT_FALSE(aAdd == Handler2(&b, &Counter::Add));
    EXPECT_TRUE(Handler2(&AddFree) == Handler2(&AddFree));
    EXPECT_FALSE(Handler2(&AddFree) == Handler2(&SubFree));
    EXPECT_FALSE(Handler2(&AddFree) == aAdd);
    EXPECT_TRUE(aAdd == aAdd);
}

TEST(FunctionPointerTest, CopiesCloneAndStayEqual)
{
    Counter a;
    const Handler2 original(&a, &Counter::Add);
    Handler2 copy(original);
    EXPECT_NE(copy.Get(), original.Get());
    EXPECT_TRUE(copy == original);
    Handler2 assigned;
    assigned = copy;
    EXPECT_TRUE(assigned == original);
    assigned = assigned;
    EXPECT_TRUE(assigned == original);
    assigned(1, 1);
    EXPECT_EQ(a.total, 2);
    Handler2 moved(std::move(copy));
    EXPECT_TRUE(moved == original);
    moved.Reset();
    EXPECT_TRUE(moved == 0);
}

TEST(FunctionPointerTest, BindsThroughAnInterface)
{
    Counter a;
    const CounterObject object(&a, &Counter::Add);
    const Handler2 holder(object);
    EXPECT_NE(holder.Get(), &object);
    EXPECT_TRUE(holder.Get()->IsEqual(object));
    const Handler2 fromNull(CounterObject(nullptr, &Counter::Add));
    EXPECT_EQ(fromNull.Get(), nullptr);
}

// A member of a second base class needs its this-adjustment kept with the member.
TEST(FunctionPointerTest, MembersOfSecondBaseAreCalledOnTheRightSubobject)
{
    Both both;
    Handler2 right(&both, &Right::Touch2);
    Handler2 left(&both, &Left::Touch);
    right(2, 3);
    left(0, 0);
    EXPECT_EQ(both.right, 5);
    EXPECT_TRUE(both.left);
    EXPECT_FALSE(right == left);
    EXPECT_TRUE(right == Handler2(&both, &Right::Touch2));
}

// Calling an empty holder or an unbound object is a failed assertion that ends the process.
TEST(FunctionPointerDeathTest, CallingEmptyHolderAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Handler2 empty;
    EXPECT_DEATH(empty(1, 2), "Expression: \\( m_pFunObj != NULL \\)");
}

TEST(FunctionPointerDeathTest, CallingUnboundObjectsAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CounterObject noObject(nullptr, &Counter::Add);
    EXPECT_DEATH(noObject(1, 2), "m_pObject != NULL");
    Counter c;
    CounterObject noMember(&c, nullptr);
    EXPECT_DEATH(noMember(1, 2), "m_pMember != NULL");
    FreeObject noFunction(nullptr);
    EXPECT_DEATH(noFunction(1, 2), "m_pFunction != NULL");
}

TEST(FunctionPointerDeathTest, ComparingWithNonZeroAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Handler2 empty;
    EXPECT_DEATH((void)(empty == 1), "null == NullType\\(0\\)");
}
