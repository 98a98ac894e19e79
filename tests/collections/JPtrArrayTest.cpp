#include <fieldkit/collections/JPtrArray.h>

#include <gtest/gtest.h>

#include <new>

namespace {

// Opens the storage fields and the removal by index to the tests.
class Probe : public JPtrArray {
public:
    using JPtrArray::count;
    using JPtrArray::data;
    using JPtrArray::RemoveAt;
};

void* Block()
{
    return ::operator new(16);
}

// Elements that count their lives, held by an array that destroys them the
// way the derived arrays do: its own Delete(int), its own RemoveAll on exit.
struct Tracked {
    static int alive;
    int id;
    explicit Tracked(int i) : id(i) { ++alive; }
    ~Tracked() { --alive; }
};
int Tracked::alive = 0;

class TrackedArray : public Probe {
public:
    ~TrackedArray() override { RemoveAll(); }
    void Delete(int index) override { delete static_cast<Tracked*>(TakeSlot(index)); }
    int Id(int index) const { return static_cast<Tracked*>((*this)[index])->id; }
};

TEST(JPtrArray, NewArrayHoldsNothing)
{
    Probe a;
    EXPECT_EQ(a.GetCount(), 0);
    EXPECT_EQ(a.pop(), nullptr);
    EXPECT_EQ(a.getptr(), nullptr);
    EXPECT_EQ(a.Find(&a), -1);
    EXPECT_EQ(a.Find(nullptr), -1);
    EXPECT_EQ(a[0], nullptr);
    a.RemoveAll();
    EXPECT_EQ(a.GetCount(), 0);
    EXPECT_EQ(a.data, nullptr);
}

// An array holding three raw blocks x, y, z in that order.
class ThreeBlocks : public ::testing::Test {
protected:
    Probe a;
    void* x = Block();
    void* y = Block();
    void* z = Block();

    void SetUp() override
    {
        for (void* p : {x, y, z})
            a.push(p);
    }
};

TEST_F(ThreeBlocks, ServeAsAStackAndAreHandedOver)
{
    ASSERT_EQ(a.GetCount(), 3);
    EXPECT_EQ(a[0], x);
    EXPECT_EQ(a[1], y);
    EXPECT_EQ(a[2], z);
    EXPECT_EQ(a[3], nullptr);
    EXPECT_EQ(a[-1], nullptr);

    void* taken[] = {a.pop(), a.getptr(), a.pop()};
    EXPECT_EQ(taken[0], z);
    EXPECT_EQ(taken[1], y);
    EXPECT_EQ(taken[2], x);
    EXPECT_EQ(a.pop(), nullptr);
    EXPECT_EQ(a.GetCount(), 0);
    EXPECT_EQ(a.data, nullptr);
    for (void* p : taken)
        ::operator delete(p);  // the caller owns what pop handed over
}

TEST(JPtrArray, NullElementsCount)
{
    Probe a;
    a.push(Block());
    a.push(nullptr);
    EXPECT_EQ(a.GetCount(), 2);
    EXPECT_EQ(a.Find(nullptr), 1);
    EXPECT_EQ(a.pop(), nullptr);
    EXPECT_EQ(a.GetCount(), 1);  // the null element was removed all the same
}

TEST_F(ThreeBlocks, DeleteEmptiesOneSlotAndGuardsItsIndex)
{
    a.Delete(1);
    EXPECT_EQ(a.GetCount(), 3);
    EXPECT_EQ(a[1], nullptr);
    EXPECT_EQ(a.Find(nullptr), 1);
    a.Delete(1);
    a.Delete(-1);
    a.Delete(3);
    EXPECT_EQ(a[0], x);
    EXPECT_EQ(a[2], z);
    a.RemoveAll();  // releases x and z; the sanitizer run catches a leak or a double release
    EXPECT_EQ(a.GetCount(), 0);
    EXPECT_EQ(a.data, nullptr);
}

TEST_F(ThreeBlocks, SwapExchangesOnlyInRangeAndFindTakesTheLowestIndex)
{
    a._swap(0, 2);
    EXPECT_EQ(a[0], z);
    EXPECT_EQ(a[2], x);
    a._swap(0, 3);
    a._swap(-1, 0);
    a._swap(1, 1);
    EXPECT_EQ(a[0], z);
    EXPECT_EQ(a[1], y);
    EXPECT_EQ(a[2], x);

    Probe dup;
    dup.push(x);
    dup.push(y);
    dup.push(x);
    EXPECT_EQ(dup.Find(x), 0);
    EXPECT_EQ(dup.Find(y), 1);
    EXPECT_EQ(dup.Find(&dup), -1);
    dup.data[0] = dup.data[1] = dup.data[2] = nullptr;  // x and y belong to `a`
}

TEST(JPtrArray, RemovalByIndexShiftsAndKeepsTheBlock)
{
    TrackedArray a;
    for (int i = 0; i < 4; ++i)
        a.push(new Tracked(i));
    void** block = a.data;
    a.RemoveAt(1);
    EXPECT_EQ(Tracked::alive, 3);
    EXPECT_EQ(a.data, block);
    ASSERT_EQ(a.GetCount(), 3);
    EXPECT_EQ(a.Id(0), 0);
    EXPECT_EQ(a.Id(1), 2);
    EXPECT_EQ(a.Id(2), 3);
    a.RemoveAt(3);
    a.RemoveAt(-1);
    EXPECT_EQ(a.GetCount(), 3);

    a.RemoveAt(2);
    a.RemoveAt(0);
    a.RemoveAt(0);
    EXPECT_EQ(Tracked::alive, 0);
    EXPECT_EQ(a.GetCount(), 0);
    EXPECT_EQ(a.data, block);  // empty, block remains
    EXPECT_EQ(a.pop(), nullptr);
    EXPECT_EQ(a.data, block);

    a.push(new Tracked(7));
    EXPECT_EQ(a.GetCount(), 1);
    EXPECT_EQ(a.Id(0), 7);
}

TEST(JPtrArray, EveryRemovalPathRunsTheDerivedDelete)
{
    {
        TrackedArray a;
        for (int i = 0; i < 5; ++i)
            a.push(new Tracked(i));
        a.Delete(4);
        EXPECT_EQ(Tracked::alive, 4);
        a.RemoveAt(4);  // an emptied slot is dropped without a release
        a.RemoveAt(0);
        EXPECT_EQ(Tracked::alive, 3);
        a.RemoveAll();
        EXPECT_EQ(Tracked::alive, 0);
        a.push(new Tracked(9));
        a.push(nullptr);
    }
    EXPECT_EQ(Tracked::alive, 0);  // the destructor released the rest
}

TEST(JPtrArray, LongFillsAndDrainsKeepEveryElement)
{
    TrackedArray a;
    const int n = 5000;
    for (int i = 0; i < n; ++i)
        a.push(new Tracked(i));
    for (int i = 0; i < n; i += 997)
        EXPECT_EQ(a.Id(i), i);
    for (int i = n - 1; i >= n / 2; --i) {
        auto* t = static_cast<Tracked*>(a.pop());
        ASSERT_EQ(t->id, i);
        delete t;
    }
    EXPECT_EQ(a.GetCount(), n / 2);
    EXPECT_EQ(Tracked::alive, n / 2);
}

}  // namespace
