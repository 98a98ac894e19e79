// SPDX-License-Identifier: MIT
#include "DWORDArray.h"

DWORDArray::DWORDArray() = default;

DWORDArray::DWORDArray(const DWORDArray& src) : JPtrArray()
{
    AppendCopies<unsigned long>(src);
}

DWORDArray::DWORDArray(unsigned long* value)
{
    Add(value);
}

DWORDArray::DWORDArray(unsigned long value)
{
    Add(value);
}

DWORDArray::~DWORDArray()
{
    RemoveAll();  // ~JPtrArray could not reach Delete(int) of this class
}

void DWORDArray::Add(unsigned long value)
{
    PushNew<unsigned long>(value);
}

void DWORDArray::Add(unsigned long* value)
{
    if (value)
        Add(*value);
}

void DWORDArray::Remove(int index)
{
    RemoveAt(index);
}

void DWORDArray::Remove(unsigned long* cell)
{
    RemoveAt(Find(cell));
}

void DWORDArray::Delete(int index)
{
    delete static_cast<unsigned long*>(TakeSlot(index));
}

unsigned long* DWORDArray::operator[](int index)
{
    return static_cast<unsigned long*>(JPtrArray::operator[](index));
}

DWORDArray& DWORDArray::operator=(const DWORDArray& src)
{
    AssignCopies<unsigned long>(src);
    return *this;
}

DWORDArray& DWORDArray::operator+=(const DWORDArray& src)
{
    AppendCopies<unsigned long>(src);
    return *this;
}

DWORDArray& DWORDArray::operator+=(unsigned long value)
{
    Add(value);
    return *this;
}

DWORDArray operator+(const DWORDArray& left, const DWORDArray& right)
{
    DWORDArray sum(left);
    sum += right;
    return sum;
}

DWORDArray operator+(const DWORDArray& left, unsigned long value)
{
    DWORDArray sum(left);
    sum.Add(value);
    return sum;
}

DWORDArray operator+(unsigned long value, const DWORDArray& right)
{
    DWORDArray sum(value);
    sum += right;
    return sum;
}

DWORDArray operator+(const DWORDArray& left, unsigned long* value)
{
    DWORDArray sum(left);
    sum.Add(value);
    return sum;
}

DWORDArray operator+(unsigned long* value, const DWORDArray& right)
{
    DWORDArray sum(value);
    sum += right;
    return sum;
}
