// SPDX-License-Identifier: MIT
#include <fieldkit/collections/JPtrArray.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

namespace {

using Slots = std::vector<void*>;

// Elements that count their lives, held by an array that destroys them the
// way the derived arrays do: its own Delete(int), its own RemoveAll on exit.
struct Tracked {
    static inline int alive = 0;
    int id;
    explicit Tracked(int i) : id(i) { ++alive; }
    ~Tracked() { --alive; }
};

class TrackedArray : public JPtrArray {
public:
    using JPtrArray::data;
    using JPtrArray::RemoveAt;
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

// A bare array of raw blocks (the sanitizers catch a leak or a double release) is a stack.
TEST(JPtrArray, StacksRawBlocksAndGuardsItsIndexes)
{
    JPtrArray a;
    void *x = ::operator new(16), *y = ::operator new(16), *z = ::operator new(16);
    for (void* p : Slots{x, y, z, nullptr})  // null elements count
        a.push(p);
    a.Delete(1);  // releases y, the slot stays
    a.Delete(-1);
    a.Delete(4);
    a._swap(0, 2);
    a._swap(0, 4);
    a._swap(-1, 0);
    EXPECT_EQ((Slots{a[-1], a[0], a[1], a[2], a[3], a[4]}), (Slots{nullptr, z, nullptr, x, nullptr, nullptr}));
    EXPECT_EQ(a.Find(nullptr), 1);  // the lowest index
    EXPECT_EQ(a.Find(&a), -1);
    const Slots taken{a.pop(), a.pop(), a.getptr()};  // braces: in this order
    EXPECT_EQ(taken, (Slots{nullptr, x, nullptr}));
    ::operator delete(x);  // the caller owns what pop handed over
    EXPECT_TRUE(a.GetCount() == 1 && a[0] == z);  // the destructor releases z
}

// Every removal runs the derived Delete(int); RemoveAt closes the gap and keeps the block.
TEST(JPtrArray, RemovalsRunTheDerivedDeleteAndShiftTheRest)
{
    {
        TrackedArray a;
        for (int i = 0; i < 3000; ++i)
            a.push(new Tracked(i));
        for (int i = 2999; i >= 5; --i)
            ASSERT_EQ(std::unique_ptr<Tracked>(static_cast<Tracked*>(a.pop()))->id, i);
        void** block = a.data;
        a.RemoveAt(1);
        a.RemoveAt(-1);
        a.RemoveAt(4);
        a.Delete(2);
        EXPECT_EQ(a.Ids(), (std::vector<int>{0, 2, -1, 4}));
        a.RemoveAt(2);
        a.RemoveAt(0);
        EXPECT_EQ(a.Ids(), (std::vector<int>{2, 4}));
        a.RemoveAt(0);
        a.RemoveAt(0);
        EXPECT_TRUE(a.pop() == nullptr && a.data == block);  // empty, the block remains
        a.RemoveAll();
        EXPECT_TRUE(Tracked::alive == 0 && a.data == nullptr);
        a.push(new Tracked(9));
    }
    EXPECT_EQ(Tracked::alive, 0);  // the destructor released the rest
}

}  // namespace
