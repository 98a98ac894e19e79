// SPDX-License-Identifier: MIT
#include <fieldkit/collections/DWORDArray.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <vector>

namespace {

using Values = std::vector<unsigned long>;
constexpr unsigned long kHole = 0xDEADu;  // stands for a slot emptied by Delete(int)

Values Of(DWORDArray& a)
{
    Values v;
    for (int i = 0; i < a.GetCount(); ++i)
        v.push_back(a[i] ? *a[i] : kHole);
    return v;
}

void ExpectValuesInOrder(DWORDArray& a, const Values& want) { EXPECT_EQ(Of(a), want); }

// {ULONG_MAX, 12, hole, 3}: the full width, a value copied from a variable, an emptied slot, a value.
struct DWORDArrayTest : ::testing::Test {
    unsigned long v = ULONG_MAX;
    DWORDArray a{&v};
    void SetUp() override
    {
        v = 12;
        a.Add(&v);
        a.Add(5ul);
        a += 3;
        a.Delete(2);
        v = 3;
    }
};

TEST_F(DWORDArrayTest, HoldsCopiesOfTheValuesInOrder)
{
    ExpectValuesInOrder(a, {ULONG_MAX, 12, kHole, 3});
}

TEST_F(DWORDArrayTest, AddOfANullPointerAppendsNothing)
{
    a.Add(static_cast<unsigned long*>(nullptr));
    ExpectValuesInOrder(a, {ULONG_MAX, 12, kHole, 3});
    ExpectValuesInOrder(*std::make_unique<DWORDArray>(static_cast<unsigned long*>(nullptr)), {});
}

TEST_F(DWORDArrayTest, IndexesOutsideTheElementsGiveNull)
{
    EXPECT_EQ(a[-1], nullptr);
    EXPECT_NE(a[3], nullptr);
    EXPECT_EQ(a[4], nullptr);
}

TEST_F(DWORDArrayTest, RemoveByIndexClosesTheGapAndRefusesOutsideIndexes)
{
    for (int index : {-1, 4}) {
        SCOPED_TRACE(index);
        a.Remove(index);
        ExpectValuesInOrder(a, {ULONG_MAX, 12, kHole, 3});
    }
    a.Remove(3);
    ExpectValuesInOrder(a, {ULONG_MAX, 12, kHole});
    a.Remove(0);
    ExpectValuesInOrder(a, {12, kHole});
}

TEST_F(DWORDArrayTest, RemoveByCellGoesByIdentityNotByValue)
{
    a.Remove(&v);  // v holds 3, like the last cell
    ExpectValuesInOrder(a, {ULONG_MAX, 12, kHole, 3});
    a.Remove(a[1]);
    ExpectValuesInOrder(a, {ULONG_MAX, kHole, 3});
    a.Remove(static_cast<unsigned long*>(nullptr));  // the first emptied slot
    ExpectValuesInOrder(a, {ULONG_MAX, 3});
}

TEST_F(DWORDArrayTest, CellsStayPutWhileTheArrayGrows)
{
    unsigned long* first = a[0];
    for (unsigned long i = 0; i < 2000; ++i)
        a.Add(i);
    EXPECT_EQ(a[0], first);
    EXPECT_EQ(*a[2003], 1999u);
}

TEST_F(DWORDArrayTest, CopiesAssignmentsAndAppendsAreDeepAndKeepHoles)
{
    fktest::ExpectDeepCopies(a, Of);
}

TEST_F(DWORDArrayTest, SumsKeepTheOperandOrder)
{
    unsigned long* none = nullptr;
    struct { const char* expr; DWORDArray sum; Values want; } cases[] = {
        {"5 + a + &v", 5 + a + &v, {5, ULONG_MAX, 12, kHole, 3, 3}},
        {"&v + a + 5", &v + a + 5, {3, ULONG_MAX, 12, kHole, 3, 5}},
        {"null + a + null", none + a + none, {ULONG_MAX, 12, kHole, 3}},
        {"a + DWORDArray(4)", a + DWORDArray(4ul), {ULONG_MAX, 12, kHole, 3, 4}},
        {"a + a", a + a, {ULONG_MAX, 12, kHole, 3, ULONG_MAX, 12, kHole, 3}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.expr);
        ExpectValuesInOrder(c.sum, c.want);
    }
}

TEST_F(DWORDArrayTest, PopHandsTheLastCellOverAndPushAdoptsOne)
{
    const std::unique_ptr<unsigned long> cell(static_cast<unsigned long*>(a.pop()));
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(*cell, 3u);
    a.push(new unsigned long(8));
    ExpectValuesInOrder(a, {ULONG_MAX, 12, kHole, 8});
}

}  // namespace
