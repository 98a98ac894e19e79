// SPDX-License-Identifier: MIT
// TCPMessageArray: an ordered array of TCPMessage records, each a heap record
// of the array's own with its own copy of the bytes, on the storage of
// JPtrArray.
//
// Ownership: messages enter by deep copy (new buffer, same bytes, length and
// socket); the caller may reuse or release its record as soon as Add returns.
// operator[] lends the stored record: read it or refill it, never release it.
// A record stays put while other elements come and go. The inherited
// pop/getptr hand the last record over (the caller deletes it as a
// TCPMessage, buffer included); the inherited push adopts a record made with
// `new TCPMessage`.
// Threads: no locking; one thread at a time per array.
#pragma once

#include <fieldkit/Export.h>
#include <fieldkit/collections/JPtrArray.h>
#include <fieldkit/core/Message.h>

class FIELDKIT_API TCPMessageArray : public JPtrArray {
public:
    TCPMessageArray();
    TCPMessageArray(const TCPMessageArray& src);  // copies every record; emptied slots stay empty
    TCPMessageArray(TCPMessage* message);           // a null pointer gives an empty array
    TCPMessageArray(TCPMessage message);
    ~TCPMessageArray() override;

    void Add(TCPMessage* message);  // appends a copy of *message; null appends nothing
    void Add(TCPMessage message);
    // Releases the record at index with its bytes and closes the gap; the
    // block keeps its size. Nothing for an index outside [0, count).
    void Remove(int index);
    // Remove(Find(record)): removes the first element holding this very record
    // (for null, the first emptied slot); a record the array does not hold,
    // even one with equal contents, removes nothing.
    void Remove(TCPMessage* record);
    // Releases the record at index with its bytes and leaves a null slot; count
    // stays. Nothing for an index outside [0, count).
    void Delete(int index) override;
    // The stored record at index; null for an emptied slot or an index outside
    // [0, count).
    TCPMessage* operator[](int index);

    TCPMessageArray& operator=(const TCPMessageArray& src);   // self-assignment keeps the records
    TCPMessageArray& operator+=(const TCPMessageArray& src);  // a += a doubles a
    TCPMessageArray& operator+=(TCPMessage message);
};

// Each returns a new array: copies of the operands' messages in the order
// written. A null pointer operand contributes nothing.
FIELDKIT_API TCPMessageArray operator+(const TCPMessageArray& left, const TCPMessageArray& right);
FIELDKIT_API TCPMessageArray operator+(const TCPMessageArray& left, TCPMessage message);
FIELDKIT_API TCPMessageArray operator+(TCPMessage message, const TCPMessageArray& right);
FIELDKIT_API TCPMessageArray operator+(const TCPMessageArray& left, TCPMessage* message);
FIELDKIT_API TCPMessageArray operator+(TCPMessage* message, const TCPMessageArray& right);
