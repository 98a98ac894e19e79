#include <fieldkit/collections/DWORDArray.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <utility>
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

TEST(DWORDArray, HoldsCopiesInCellsThatStayPutAndRemovalsShiftTheRest)
{
    unsigned long v = ULONG_MAX;  // the full width
    DWORDArray a(&v);
    v = 12;
    a.Add(&v);
    a.Add(static_cast<unsigned long*>(nullptr));
    a += 0x80000000ul;
    a.Add(3);
    EXPECT_EQ(Of(a), Values({ULONG_MAX, 12, 0x80000000ul, 3}));
    a.Delete(1);
    a.Remove(-1);
    a.Remove(4);
    v = 3;
    a.Remove(&v);  // by identity: an equal value elsewhere is not the cell
    EXPECT_EQ(Of(a), Values({ULONG_MAX, kHole, 0x80000000ul, 3}));
    EXPECT_EQ(a[4], nullptr);
    EXPECT_EQ(a[-1], nullptr);
    a.Remove(1);
    a.Remove(a[1]);
    EXPECT_EQ(Of(a), Values({ULONG_MAX, 3}));
    EXPECT_EQ(DWORDArray(static_cast<unsigned long*>(nullptr)).GetCount(), 0);

    unsigned long* first = a[0];
    *first = 100;
    for (unsigned long i = 0; i < 2000; ++i)
        a.Add(i);
    EXPECT_EQ(a[0], first);
    EXPECT_EQ(*a[0], 100u);
    const std::unique_ptr<unsigned long> cell(static_cast<unsigned long*>(a.pop()));
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(*cell, 1999u);
    a.push(new unsigned long(8));  // push adopts a cell
    EXPECT_EQ(*a[2001], 8u);
}

TEST(DWORDArray, CopiesKeepHolesAndOperatorsKeepTheOperandOrder)
{
    DWORDArray a(1);
    a.Add(9);
    a += 2;
    a.Delete(1);
    unsigned long v = 6;
    unsigned long* none = nullptr;
    std::pair<DWORDArray, Values> cases[] = {
        {a + 3, {1, kHole, 2, 3}},           {3 + a, {3, 1, kHole, 2}},
        {a + DWORDArray(4), {1, kHole, 2, 4}}, {a + a, {1, kHole, 2, 1, kHole, 2}},
        {a + &v, {1, kHole, 2, 6}},          {&v + a, {6, 1, kHole, 2}},
        {a + none, {1, kHole, 2}},           {none + a, {1, kHole, 2}},
    };
    for (auto& [sum, want] : cases)
        EXPECT_EQ(Of(sum), want);
    fktest::ExpectDeepCopies(a, Of);
}

}  // namespace
