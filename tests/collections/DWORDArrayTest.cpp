#include <fieldkit/collections/DWORDArray.h>

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace {

using Values = std::vector<unsigned long>;
constexpr unsigned long kEmptied = 0xDEADu;  // stands for a slot emptied by Delete(int)

Values Of(DWORDArray& a)
{
    Values v;
    for (int i = 0; i < a.GetCount(); ++i)
        v.push_back(a[i] ? *a[i] : kEmptied);
    return v;
}

DWORDArray Make(const Values& values)
{
    DWORDArray a;
    for (unsigned long v : values)
        a.Add(v);
    return a;
}

TEST(DWORDArray, ConstructsFromAValueOrACopyOfAddressedValue)
{
    DWORDArray seven(7);
    EXPECT_EQ(Of(seven), Values({7}));

    unsigned long v = 11;
    DWORDArray copied(&v);
    v = 12;
    EXPECT_EQ(Of(copied), Values({11}));
    EXPECT_NE(copied[0], &v);

    DWORDArray none(static_cast<unsigned long*>(nullptr));
    EXPECT_EQ(none.GetCount(), 0);
}

TEST(DWORDArray, HoldsTheFullWidthOfUnsignedLong)
{
    DWORDArray a(ULONG_MAX);
    a.Add(0xFFFFFFFFul);
    a += 0x80000000ul;
    EXPECT_EQ(Of(a), Values({ULONG_MAX, 0xFFFFFFFFul, 0x80000000ul}));
}

TEST(DWORDArray, CellsCanBeWrittenAndNeverMove)
{
    DWORDArray a = Make({1, 2});
    DWORDArray before(a);
    unsigned long* first = a[0];
    *first = 100;
    for (unsigned long i = 0; i < 2000; ++i)
        a.Add(i);
    a.Remove(1);
    EXPECT_EQ(a[0], first);
    EXPECT_EQ(*a[0], 100u);
    EXPECT_EQ(Of(before), Values({1, 2}));
    EXPECT_EQ(a[a.GetCount()], nullptr);
    EXPECT_EQ(a[-1], nullptr);
}

TEST(DWORDArray, AddAndRemoveByIndexShiftTheRest)
{
    DWORDArray a = Make({1, 2});
    unsigned long five = 5;
    a.Add(&five);
    a.Add(static_cast<unsigned long*>(nullptr));
    EXPECT_EQ(Of(a), Values({1, 2, 5}));
    a.Remove(0);
    EXPECT_EQ(Of(a), Values({2, 5}));
    a.Remove(-1);
    a.Remove(2);
    EXPECT_EQ(Of(a), Values({2, 5}));
    a.Remove(1);
    a.Remove(0);
    EXPECT_EQ(a.GetCount(), 0);
    EXPECT_EQ(a.pop(), nullptr);
    a.Add(3);
    EXPECT_EQ(Of(a), Values({3}));
}

TEST(DWORDArray, RemoveByCellGoesByIdentity)
{
    DWORDArray a = Make({4, 5, 6});
    unsigned long equal = 5;
    a.Remove(&equal);
    EXPECT_EQ(Of(a), Values({4, 5, 6}));
    a.Remove(a[1]);
    EXPECT_EQ(Of(a), Values({4, 6}));
}

TEST(DWORDArray, PopHandsTheLastCellOver)
{
    DWORDArray a = Make({1, 2});
    auto* cell = static_cast<unsigned long*>(a.pop());
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(*cell, 2u);
    delete cell;
    EXPECT_EQ(Of(a), Values({1}));

    a.push(new unsigned long(8));  // push adopts a cell
    EXPECT_EQ(Of(a), Values({1, 8}));
}

TEST(DWORDArray, DeleteEmptiesASlotThatCopiesKeepEmpty)
{
    DWORDArray a = Make({1, 2, 3});
    a.Delete(1);
    a.Delete(1);
    a.Delete(9);
    EXPECT_EQ(Of(a), Values({1, kEmptied, 3}));

    DWORDArray copied(a);
    DWORDArray assigned = Make({9});
    assigned = a;
    DWORDArray appended = Make({0xA});
    appended += a;
    EXPECT_EQ(Of(copied), Values({1, kEmptied, 3}));
    EXPECT_EQ(Of(assigned), Values({1, kEmptied, 3}));
    EXPECT_EQ(Of(appended), Values({0xA, 1, kEmptied, 3}));
    DWORDArray sum = a + 4;
    EXPECT_EQ(Of(sum), Values({1, kEmptied, 3, 4}));

    a.Remove(1);  // drops the emptied slot
    EXPECT_EQ(Of(a), Values({1, 3}));
}

TEST(DWORDArray, OperatorsBuildNewArraysInOperandOrder)
{
    const DWORDArray a = Make({1, 2});
    unsigned long v = 6;
    unsigned long* none = nullptr;
    DWORDArray plus_value = a + 3;
    DWORDArray value_plus = 3 + a;
    DWORDArray plus_array = a + DWORDArray(4);
    DWORDArray doubled = a + a;
    DWORDArray plus_ptr = a + &v;
    DWORDArray ptr_plus = &v + a;
    EXPECT_EQ(Of(plus_value), Values({1, 2, 3}));
    EXPECT_EQ(Of(value_plus), Values({3, 1, 2}));
    EXPECT_EQ(Of(plus_array), Values({1, 2, 4}));
    EXPECT_EQ(Of(doubled), Values({1, 2, 1, 2}));
    EXPECT_EQ(Of(plus_ptr), Values({1, 2, 6}));
    EXPECT_EQ(Of(ptr_plus), Values({6, 1, 2}));
    DWORDArray plus_null = a + none;
    DWORDArray null_plus = none + a;
    EXPECT_EQ(Of(plus_null), Values({1, 2}));
    EXPECT_EQ(Of(null_plus), Values({1, 2}));
    EXPECT_EQ(Of(const_cast<DWORDArray&>(a)), Values({1, 2}));
    EXPECT_NE(doubled[0], doubled[2]);  // every element has a cell of its own
}

TEST(DWORDArray, AssignmentAndAppendCopyDeeply)
{
    auto* a = new DWORDArray(Make({1, 2}));
    DWORDArray b;
    b = *a;
    *(*a)[0] = 50;
    EXPECT_EQ(Of(b), Values({1, 2}));
    delete a;
    EXPECT_EQ(Of(b), Values({1, 2}));

    DWORDArray c(1);
    c += Make({3, 4});
    EXPECT_EQ(Of(c), Values({1, 3, 4}));
    c += 9;
    EXPECT_EQ(Of(c), Values({1, 3, 4, 9}));
    (c += 1) += 2;
    EXPECT_EQ(Of(c), Values({1, 3, 4, 9, 1, 2}));
}

TEST(DWORDArray, SelfAssignmentKeepsAndSelfAppendDoubles)
{
    DWORDArray a = Make({1, 2});
    DWORDArray& alias = a;
    a = alias;
    EXPECT_EQ(Of(a), Values({1, 2}));
    a += alias;
    EXPECT_EQ(Of(a), Values({1, 2, 1, 2}));
    EXPECT_NE(a[0], a[2]);
}

}  // namespace
