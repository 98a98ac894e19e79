// SPDX-License-Identifier: MIT
#include "JPtrArray.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

JPtrArray::JPtrArray() : data(nullptr), count(0) {}

JPtrArray::~JPtrArray()
{
    RemoveAll();
}

void* JPtrArray::getptr()
{
    return pop();
}

void JPtrArray::push(void* p)
{
    if (count == INT_MAX)
        throw std::bad_alloc();
    resize_block(count + 1);
    data[count] = p;
    ++count;
}

void* JPtrArray::pop()
{
    if (count == 0)
        return nullptr;
    void* last = data[count - 1];
    resize_block(count - 1);
    --count;
    return last;
}

void JPtrArray::_swap(int a, int b)
{
    if (a < 0 || a >= count || b < 0 || b >= count)
        return;
    void* held = data[a];
    data[a] = data[b];
    data[b] = held;
}

void JPtrArray::Delete(int index)
{
    ::operator delete(TakeSlot(index));
}

void JPtrArray::RemoveAll()
{
    for (int i = 0; i < count; ++i)
        Delete(i);
    std::free(data);
    data = nullptr;
    count = 0;
}

void* JPtrArray::operator[](int index) const
{
    if (index < 0 || index >= count)
        return nullptr;
    return data[index];
}

int JPtrArray::Find(void* p) const
{
    for (int i = 0; i < count; ++i) {
        if (data[i] == p)
            return i;
    }
    return -1;
}

int JPtrArray::GetCount() const
{
    return count;
}

void JPtrArray::RemoveAt(int index)
{
    if (index < 0 || index >= count)
        return;
    Delete(index);
    const size_t later = static_cast<size_t>(count - index - 1);
    std::memmove(data + index, data + index + 1, later * sizeof(void*));
    --count;
}

void* JPtrArray::TakeSlot(int index)
{
    if (index < 0 || index >= count)
        return nullptr;
    void* held = data[index];
    data[index] = nullptr;
    return held;
}

void JPtrArray::TruncateTo(int keep)
{
    if (keep < 0 || keep >= count)
        return;
    for (int i = keep; i < count; ++i)
        Delete(i);
    count = keep;
}

void JPtrArray::resize_block(int slots)
{
    if (slots == 0) {
        std::free(data);
        data = nullptr;
        return;
    }
    if (static_cast<size_t>(slots) > SIZE_MAX / sizeof(void*))
        throw std::bad_alloc();
    void* block = std::realloc(data, static_cast<size_t>(slots) * sizeof(void*));
    if (!block)
        throw std::bad_alloc();
    data = static_cast<void**>(block);
}
