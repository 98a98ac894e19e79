// SPDX-License-Identifier: MIT
// The typed suite of the arrays holding copies of their values in records of their own. Traits give
// Array, Value (what operator[] points at), Make(i) (distinct for i = 0..4) and Show(value) as text.
#pragma once

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using Shown = std::vector<std::string>;

// {v0, v1, hole, v3}: from a pointer, a value, +=, a copied variable, then Delete(2); v then holds v4.
template <typename Traits>
struct OwningArrayTest : ::testing::Test {
    using Array = typename Traits::Array;
    using Value = typename Traits::Value;
    Value v = Traits::Make(0);
    Array a{&v};

    void SetUp() override
    {
        a.Add(Traits::Make(1)), a += Traits::Make(2);
        v = Traits::Make(3), a.Add(&v), v = Traits::Make(4), a.Delete(2);
    }
    static Shown Of(Array& array)  // an emptied slot as "-"
    {
        Shown out;
        for (int i = 0; i < array.GetCount(); ++i)
            out.push_back(array[i] ? Traits::Show(*array[i]) : "-");
        return out;
    }
    static void ExpectValuesInOrder(Array& array, const std::vector<int>& made)  // -1: a hole
    {
        Shown want;
        for (int i : made)
            want.push_back(i < 0 ? "-" : Traits::Show(Traits::Make(i)));
        EXPECT_EQ(Of(array), want);
    }
};

TYPED_TEST_SUITE_P(OwningArrayTest);

TYPED_TEST_P(OwningArrayTest, HoldsCopiesInOrder)
{
    using Value = typename TypeParam::Value;
    this->a.Add(static_cast<Value*>(nullptr));
    this->ExpectValuesInOrder(this->a, {0, 1, -1, 3});
    EXPECT_EQ(this->a[-1], nullptr);
    EXPECT_EQ(this->a[4], nullptr);
    EXPECT_EQ(typename TypeParam::Array(static_cast<Value*>(nullptr)).GetCount(), 0);
    typename TypeParam::Array one(TypeParam::Make(1));  // from a value
    this->ExpectValuesInOrder(one, {1});
}

TYPED_TEST_P(OwningArrayTest, RemoveByIndexClosesTheGap)
{
    for (int index : {-1, 4}) {
        SCOPED_TRACE(index);
        this->a.Remove(index);
        this->ExpectValuesInOrder(this->a, {0, 1, -1, 3});
    }
    auto* last = this->a[3];
    this->a.Remove(0);
    EXPECT_EQ(this->a[2], last);  // records stay put
    this->a.Remove(2);
    this->ExpectValuesInOrder(this->a, {1, -1});
}

TYPED_TEST_P(OwningArrayTest, RemoveByRecordGoesByIdentityNotByValue)
{
    using Value = typename TypeParam::Value;
    Value lookalike(*this->a[3]);
    this->a.Remove(&lookalike), this->a.Remove(this->a[1]);
    this->ExpectValuesInOrder(this->a, {0, -1, 3});
    this->a.Remove(static_cast<Value*>(nullptr));  // the first emptied slot
    this->ExpectValuesInOrder(this->a, {0, 3});
}

TYPED_TEST_P(OwningArrayTest, CopiesAreDeep) { fktest::ExpectDeepCopies(this->a, this->Of); }

TYPED_TEST_P(OwningArrayTest, SumsKeepTheOperandOrder)
{
    using Array = typename TypeParam::Array;
    typename TypeParam::Value* none = nullptr;
    const auto two = TypeParam::Make(2);
    Array& a = this->a;
    struct { const char* expr; Array sum; std::vector<int> want; } cases[] = {
        {"two + a + &v", two + a + &this->v, {2, 0, 1, -1, 3, 4}},
        {"&v + a + two", &this->v + a + two, {4, 0, 1, -1, 3, 2}},
        {"null + a + null", none + a + none, {0, 1, -1, 3}},  {"a + a", a + a, {0, 1, -1, 3, 0, 1, -1, 3}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.expr);
        this->ExpectValuesInOrder(c.sum, c.want);
    }
}

TYPED_TEST_P(OwningArrayTest, PopHandsTheLastRecordOver)
{
    using Value = typename TypeParam::Value;
    const std::unique_ptr<Value> popped(static_cast<Value*>(this->a.pop()));
    ASSERT_NE(popped, nullptr);
    EXPECT_EQ(TypeParam::Show(*popped), TypeParam::Show(TypeParam::Make(3)));
    this->a.push(new Value(TypeParam::Make(4)));
    this->ExpectValuesInOrder(this->a, {0, 1, -1, 4});
}

REGISTER_TYPED_TEST_SUITE_P(OwningArrayTest, HoldsCopiesInOrder, RemoveByIndexClosesTheGap, RemoveByRecordGoesByIdentityNotByValue,
                            CopiesAreDeep, SumsKeepTheOperandOrder, PopHandsTheLastRecordOver);
