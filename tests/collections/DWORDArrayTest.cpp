// SPDX-License-Identifier: MIT
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

TEST(DWORDArray, HoldsCopiesInCellsThatStayPutAndCopiesKeepHoles)
{
    unsigned long v = ULONG_MAX;  // the full width
    DWORDArray a(&v);
    v = 12;
    a.Add(&v);
    a.Add(static_cast<unsigned long*>(nullptr));
    a.Add(2);
    a += 3;
    a.Delete(2);
    a.Remove(-1);
    a.Remove(4);
    v = 3;
    a.Remove(&v);  // by identity: an equal value elsewhere is not the cell
    EXPECT_EQ(Of(a), Values({ULONG_MAX, 12, kHole, 3}));
    EXPECT_TRUE(a[4] == nullptr && a[-1] == nullptr);
    fktest::ExpectDeepCopies(a, Of);
    unsigned long* none = nullptr;
    std::pair<DWORDArray, Values> cases[] = {
        {5 + a + &v, {5, ULONG_MAX, 12, kHole, 3, 3}}, {&v + a + 5, {3, ULONG_MAX, 12, kHole, 3, 5}},
        {none + a + none, {ULONG_MAX, 12, kHole, 3}},  {a + DWORDArray(4), {ULONG_MAX, 12, kHole, 3, 4}},
        {a + a, {ULONG_MAX, 12, kHole, 3, ULONG_MAX, 12, kHole, 3}}, {DWORDArray(none), {}},
    };
    for (auto& [sum, want] : cases)
        EXPECT_EQ(Of(sum), want);

    a.Remove(a[2]);
    a.Remove(1);
    EXPECT_EQ(Of(a), Values({ULONG_MAX, 3}));
    unsigned long* first = a[0];
    for (unsigned long i = 0; i < 2000; ++i)
        a.Add(i);
    EXPECT_EQ(a[0], first);
    const std::unique_ptr<unsigned long> cell(static_cast<unsigned long*>(a.pop()));
    EXPECT_EQ(cell ? *cell : 0, 1999u);
    a.push(new unsigned long(8));  // push adopts a cell
    EXPECT_EQ(*a[2001], 8u);
}

}  // namespace
