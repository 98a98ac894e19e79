// SPDX-License-Identifier: MIT
#pragma once

#include <fieldkit/Export.h>

#include <memory>
#include <utility>

/// An ordered, growable array of owned untyped pointers. It is the storage
/// under DWORDArray, TCPMessageArray and JStringArray, and a stack: push
/// appends at the end, pop and getptr take from the end.
///
/// Storage: one malloc'd block of pointer slots. After push and pop it holds
/// exactly one slot per element (no spare capacity); it grows and shrinks with
/// realloc, so the allocator may extend it in place. Removal by index in the
/// derived classes, and an append that failed half-way, close the gap without
/// reallocating, so the block may be larger than `count`, and may remain
/// allocated with `count` 0.
///
/// Ownership: the array owns the block and every non-null element. push adopts
/// its pointer; pop and getptr hand the last element to the caller; operator[]
/// and Find only look. A bare JPtrArray releases an element with the global
/// operator delete and runs no destructor, so it may only hold blocks from the
/// global operator new; derived classes override Delete(int) to destroy their
/// own element type, and clear themselves in their own destructor.
///
/// Out of memory: std::bad_alloc passes through; push, pop and getptr then
/// leave the array as it was.
///
/// Threads: no locking; one thread at a time per array.
class FIELDKIT_API JPtrArray {
public:
    JPtrArray();           ///< An empty array without a block.
    virtual ~JPtrArray();  ///< Releases every element through Delete(int), then the block.
    JPtrArray(const JPtrArray&) = delete;             ///< A bare pointer array is never copied;
    JPtrArray& operator=(const JPtrArray&) = delete;  ///< the derived classes copy deeply.

    /// Same as pop().
    virtual void* getptr();
    /// Appends p (null allowed) and adopts it. A failed allocation throws
    /// std::bad_alloc and leaves the array as it was (p stays the caller's).
    virtual void push(void* p);
    /// Removes the last element and hands it to the caller; null when there is
    /// none. If the smaller block cannot be had, throws std::bad_alloc and
    /// leaves the array as it was.
    virtual void* pop();
    /// Exchanges two elements; nothing unless both indexes lie in [0, count).
    virtual void _swap(int a, int b);
    /// Releases the element at index and leaves a null slot; count stays.
    /// Nothing for an index outside [0, count) or a null slot.
    virtual void Delete(int index);

    /// Releases every element through Delete(int), then the block.
    void RemoveAll();
    /// The element at index; null for an index outside [0, count).
    void* operator[](int index) const;
    /// Index of the first slot holding exactly p, or -1.
    int Find(void* p) const;
    /// The number of elements.
    int GetCount() const;

protected:
    void** data;  ///< Element block; null when the array has none.
    int count;    ///< Number of elements.

    /// Releases the element at index through Delete(int) and moves the later
    /// elements down one place; the block keeps its size. Nothing for an
    /// index outside [0, count).
    void RemoveAt(int index);
    /// Clears the slot at index and returns what it held; null for an index
    /// outside [0, count). The caller releases the result.
    void* TakeSlot(int index);

    /// Appends a new T made from args; nothing leaks when the push fails.
    template <typename T, typename... Args>
    void PushNew(Args&&... args)
    {
        std::unique_ptr<T> element(new T(std::forward<Args>(args)...));
        push(element.get());
        element.release();
    }
    /// Appends copies of the T elements src holds at the call (src may be this
    /// array). An emptied slot is copied as an emptied slot. On failure the
    /// copies made so far are destroyed: the array is as it was.
    template <typename T>
    void AppendCopies(const JPtrArray& src)
    {
        const int n = src.count;
        rollback undo{this, count};
        for (int i = 0; i < n; ++i) {
            if (src.data[i])
                PushNew<T>(*static_cast<const T*>(src.data[i]));
            else
                push(nullptr);
        }
        undo.array = nullptr;
    }
    /// Replaces the contents with copies of src's; assigning to itself keeps
    /// them. On failure the array is left empty.
    template <typename T>
    void AssignCopies(const JPtrArray& src)
    {
        if (&src == this)
            return;
        RemoveAll();
        AppendCopies<T>(src);
    }
    /// Releases the elements from index `keep` on through Delete(int) and makes
    /// `keep` the count; the block keeps its size. Nothing unless keep lies in
    /// [0, count).
    void TruncateTo(int keep);

private:
    // Cuts `array` back to `keep` elements when it goes, unless array was cleared.
    struct rollback {
        JPtrArray* array;
        int keep;
        ~rollback()
        {
            if (array)
                array->TruncateTo(keep);
        }
    };

    // Makes the block exactly `slots` slots long (none for 0). Throws
    // std::bad_alloc and keeps the old block when that fails.
    FIELDKIT_LOCAL void resize_block(int slots);
};
