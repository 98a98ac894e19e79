#include <fieldkit/collections/JPtrArray.h>

#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <vector>

namespace {

using Slots = std::vector<void*>;

// Opens the storage and the removal by index to the tests.
class Probe : public JPtrArray {
public:
    using JPtrArray::data;
    using JPtrArray::RemoveAt;
    Slots slots() const { return Slots(data, data + count); }
};

// Elements that count their lives, held by an array that destroys them the
// way the derived arrays do: its own Delete(int), its own RemoveAll on exit.
struct Tracked {
    static inline int alive = 0;
    int id;
    explicit Tracked(int i) : id(i) { ++alive; }
    ~Tracked() { --alive; }
};

class TrackedArray : public Probe {
public:
    ~TrackedArray() override { RemoveAll(); }
    void Delete(int index) override { delete static_cast<Tracked*>(TakeSlot(index)); }
    std::vector<int> Ids() const  // -1 for an emptied slot
    {
        std::vector<int> ids;
        for (int i = 0; i < count; ++i)
            ids.push_back(data[i] ? static_cast<Tracked*>(data[i])->id : -1);
        return ids;
    }
};

// A bare array holds raw blocks (the sanitizer runs catch a leak or a double
// release) and is a stack: pop and getptr hand the last element over.
TEST(JPtrArray, StacksRawBlocksAndGuardsItsIndexes)
{
    Probe a;
    void* x = ::operator new(16);
    void* y = ::operator new(16);
    void* z = ::operator new(16);
    for (void* p : Slots{x, y, z, nullptr})  // null elements count
        a.push(p);
    EXPECT_EQ(a[-1], nullptr);
    EXPECT_EQ(a[4], nullptr);
    a.Delete(1);  // releases y, the slot stays
    a.Delete(-1);
    a.Delete(4);
    a._swap(0, 2);
    a._swap(0, 4);
    a._swap(-1, 0);
    EXPECT_EQ(a.slots(), (Slots{z, nullptr, x, nullptr}));
    EXPECT_EQ(a.Find(nullptr), 1);  // the lowest index
    EXPECT_EQ(a.Find(&a), -1);

    EXPECT_EQ(a.pop(), nullptr);
    void* taken = a.pop();
    EXPECT_EQ(taken, x);
    ::operator delete(taken);  // the caller owns what pop handed over
    EXPECT_EQ(a.getptr(), nullptr);
    EXPECT_EQ(a.slots(), Slots{z});  // the destructor releases z
}

// Every removal path of a derived array runs its Delete(int): RemoveAt closes
// the gap and keeps the block, an emptied slot goes without a release.
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
        EXPECT_EQ(Tracked::alive, 3);
        a.RemoveAt(2);
        a.RemoveAt(0);
        EXPECT_EQ(a.Ids(), (std::vector<int>{2, 4}));
        EXPECT_EQ(Tracked::alive, 2);
        a.RemoveAt(0);
        a.RemoveAt(0);
        EXPECT_EQ(a.pop(), nullptr);
        EXPECT_EQ(a.data, block);  // empty, the block remains

        a.push(new Tracked(7));
        a.RemoveAll();
        EXPECT_EQ(Tracked::alive, 0);
        EXPECT_EQ(a.data, nullptr);
        a.push(new Tracked(9));
    }
    EXPECT_EQ(Tracked::alive, 0);  // the destructor released the rest
}

}  // namespace
