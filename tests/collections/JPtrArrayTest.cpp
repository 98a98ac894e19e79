// SPDX-License-Identifier: MIT
#include <fieldkit/collections/JPtrArray.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

namespace {

using Slots = std::vector<void*>;

// Elements counting their lives, in an array destroying them as derived arrays do (own Delete, RemoveAll on exit).
struct Tracked {
    static inline int alive = 0;
    int id;
    explicit Tracked(int i) : id(i) { ++alive; }
    ~Tracked() { --alive; }
};

struct TrackedArray : JPtrArray {
    using JPtrArray::data;
    using JPtrArray::RemoveAt;
    explicit TrackedArray(int n) { for (int i = 0; i < n; ++i) push(new Tracked(i)); }
    ~TrackedArray() override { RemoveAll(); }
    void Delete(int index) override { delete static_cast<Tracked*>(TakeSlot(index)); }
    std::vector<int> Ids() const  // -1 for an emptied slot; every element alive is in a slot
    {
        std::vector<int> ids;
        for (int i = 0; i < count; ++i)
            ids.push_back(data[i] ? static_cast<Tracked*>(data[i])->id : -1);
        EXPECT_EQ(Tracked::alive, count - std::count(ids.begin(), ids.end(), -1));
        return ids;
    }
};

// A bare array of raw blocks {x, y, z, null} (the sanitizers catch a leak or a double release).
struct JPtrArrayTest : ::testing::Test {
    JPtrArray a;
    void *x = ::operator new(16), *y = ::operator new(16), *z = ::operator new(16);
    void SetUp() override { a.push(x), a.push(y), a.push(z), a.push(nullptr); }  // null elements count
    Slots Of() const { return {a[-1], a[0], a[1], a[2], a[3], a[4]}; }  // with the indexes around
};

TEST_F(JPtrArrayTest, DeleteReleasesTheElementAndKeepsTheSlot)
{
    a.Delete(-1), a.Delete(4), a.Delete(1), a.Delete(3);
    EXPECT_EQ(Of(), (Slots{nullptr, x, nullptr, z, nullptr, nullptr}));
}

TEST_F(JPtrArrayTest, SwapExchangesOnlyIndexesInside)
{
    const Slots kept{nullptr, x, y, z, nullptr, nullptr};
    const struct { int i, j; Slots after; } swaps[] = {
        {0, 4, kept}, {-1, 0, kept}, {4, 0, kept}, {0, 3, {nullptr, nullptr, y, z, x, nullptr}}};
    for (const auto& s : swaps) {
        SCOPED_TRACE(testing::Message() << s.i << ", " << s.j);
        a._swap(s.i, s.j);
        EXPECT_EQ(Of(), s.after);
    }
}

TEST_F(JPtrArrayTest, FindAndPopOrder)
{
    a.push(y);
    EXPECT_EQ(a.Find(x), 0);  // catches a search that skips the first slot
    EXPECT_EQ(a.Find(y), 1);
    EXPECT_EQ(a.Find(nullptr), 3);
    EXPECT_EQ(a.Find(&a), -1);
    EXPECT_EQ(a.pop(), y);
    const Slots taken{a.pop(), a.pop(), a.getptr()};  // braces: in this order
    EXPECT_EQ(taken, (Slots{nullptr, z, y}));
    EXPECT_EQ(a.GetCount(), 1);
    ::operator delete(y);  // the caller owns what pop handed over; the destructor releases x
    ::operator delete(z);
}

TEST(JPtrArray, RemoveAtRunsTheDerivedDelete)
{
    TrackedArray a(5);
    void** block = a.data;
    a.RemoveAt(-1), a.RemoveAt(5);
    EXPECT_EQ(a.Ids(), (std::vector<int>{0, 1, 2, 3, 4}));
    a.RemoveAt(4), a.RemoveAt(1), a.Delete(1), a.RemoveAt(0);
    EXPECT_EQ(a.Ids(), (std::vector<int>{-1, 3}));
    EXPECT_EQ(a.data, block);
}

TEST(JPtrArray, EveryElementIsReleased)
{
    TrackedArray a(3000);
    for (int i = 2999; i >= 0; --i)
        ASSERT_EQ(std::unique_ptr<Tracked>(static_cast<Tracked*>(a.pop()))->id, i);
    EXPECT_EQ(a.pop(), nullptr);
    EXPECT_EQ(a.data, nullptr);
    {
        TrackedArray b(1);
        b.RemoveAll();
        EXPECT_EQ(b.Ids(), std::vector<int>{});  // and none alive
        b.push(new Tracked(9));
    }
    EXPECT_EQ(Tracked::alive, 0);
}

}  // namespace
