// SPDX-License-Identifier: MIT
#include "TCPMessageArray.h"

TCPMessageArray::TCPMessageArray() = default;

TCPMessageArray::TCPMessageArray(const TCPMessageArray& src) : JPtrArray()
{
    AppendCopies<TCPMessage>(src);
}

TCPMessageArray::TCPMessageArray(TCPMessage* message)
{
    Add(message);
}

TCPMessageArray::TCPMessageArray(TCPMessage message)
{
    Add(&message);
}

TCPMessageArray::~TCPMessageArray()
{
    RemoveAll();  // ~JPtrArray could not reach Delete(int) of this class
}

void TCPMessageArray::Add(TCPMessage* message)
{
    if (message)
        PushNew<TCPMessage>(*message);
}

void TCPMessageArray::Add(TCPMessage message)
{
    Add(&message);
}

void TCPMessageArray::Remove(int index)
{
    RemoveAt(index);
}

void TCPMessageArray::Remove(TCPMessage* record)
{
    RemoveAt(Find(record));
}

void TCPMessageArray::Delete(int index)
{
    delete static_cast<TCPMessage*>(TakeSlot(index));
}

TCPMessage* TCPMessageArray::operator[](int index)
{
    return static_cast<TCPMessage*>(JPtrArray::operator[](index));
}

TCPMessageArray& TCPMessageArray::operator=(const TCPMessageArray& src)
{
    AssignCopies<TCPMessage>(src);
    return *this;
}

TCPMessageArray& TCPMessageArray::operator+=(const TCPMessageArray& src)
{
    AppendCopies<TCPMessage>(src);
    return *this;
}

TCPMessageArray& TCPMessageArray::operator+=(TCPMessage message)
{
    Add(&message);
    return *this;
}

TCPMessageArray operator+(const TCPMessageArray& left, const TCPMessageArray& right)
{
    TCPMessageArray sum(left);
    sum += right;
    return sum;
}

TCPMessageArray operator+(const TCPMessageArray& left, TCPMessage message)
{
    TCPMessageArray sum(left);
    sum.Add(&message);
    return sum;
}

TCPMessageArray operator+(TCPMessage message, const TCPMessageArray& right)
{
    TCPMessageArray sum(&message);
    sum += right;
    return sum;
}

TCPMessageArray operator+(const TCPMessageArray& left, TCPMessage* message)
{
    TCPMessageArray sum(left);
    sum.Add(message);
    return sum;
}

TCPMessageArray operator+(TCPMessage* message, const TCPMessageArray& right)
{
    TCPMessageArray sum(message);
    sum += right;
    return sum;
}
