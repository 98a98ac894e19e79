// SPDX-License-Identifier: MIT
#pragma once

#include <fieldkit/Export.h>
#include <fieldkit/collections/JPtrArray.h>
#include <fieldkit/core/Message.h>

/// An ordered array of TCPMessage records, each a heap record of the array's
/// own with its own copy of the bytes, on the storage of JPtrArray.
///
/// Ownership: messages enter by deep copy (new buffer, same bytes, length and
/// socket); the caller may reuse or release its record as soon as Add returns.
/// operator[] lends the stored record: read it or refill it, never release it.
/// A record stays put while other elements come and go. The inherited
/// pop/getptr hand the last record over (the caller deletes it as a
/// TCPMessage, buffer included); the inherited push adopts a record made with
/// `new TCPMessage`.
///
/// Out of memory: std::bad_alloc passes through and nothing leaks. Adding and
/// appending leave the array as it was; assignment leaves it empty; the
/// copying constructors and operator+ leave their operands as they were.
///
/// Threads: no locking; one thread at a time per array.
class FIELDKIT_API TCPMessageArray : public JPtrArray {
public:
    TCPMessageArray();                            ///< An empty array.
    TCPMessageArray(const TCPMessageArray& src);  ///< Copies every record; emptied slots stay empty.
    TCPMessageArray(TCPMessage* message);         ///< One element, a copy of *message; null gives an empty array.
    TCPMessageArray(TCPMessage message);          ///< One element, a copy of message.
    ~TCPMessageArray() override;                  ///< Releases every record with its bytes, then the block.

    void Add(TCPMessage* message);  ///< Appends a copy of *message; null appends nothing.
    void Add(TCPMessage message);   ///< Appends a copy of message.
    /// Releases the record at index with its bytes and closes the gap; the
    /// block keeps its size. Nothing for an index outside [0, count).
    void Remove(int index);
    /// Remove(Find(record)): removes the first element holding this very record
    /// (for null, the first emptied slot); a record the array does not hold,
    /// even one with equal contents, removes nothing.
    void Remove(TCPMessage* record);
    /// Releases the record at index with its bytes and leaves a null slot; count
    /// stays. Nothing for an index outside [0, count).
    void Delete(int index) override;
    /// The stored record at index; null for an emptied slot or an index outside
    /// [0, count).
    TCPMessage* operator[](int index);

    /// Copies of src's records in place of its own; self-assignment keeps the records.
    TCPMessageArray& operator=(const TCPMessageArray& src);
    /// Appends copies of src's records; a += a doubles a.
    TCPMessageArray& operator+=(const TCPMessageArray& src);
    /// Appends a copy of message.
    TCPMessageArray& operator+=(TCPMessage message);
};

/// @name Concatenation
/// Each returns a new array: copies of the operands' messages in the order
/// written. A null pointer operand contributes nothing.
/// @{
/// left's messages, then right's.
FIELDKIT_API TCPMessageArray operator+(const TCPMessageArray& left, const TCPMessageArray& right);
/// left's messages, then message.
FIELDKIT_API TCPMessageArray operator+(const TCPMessageArray& left, TCPMessage message);
/// message, then right's messages.
FIELDKIT_API TCPMessageArray operator+(TCPMessage message, const TCPMessageArray& right);
/// left's messages, then *message.
FIELDKIT_API TCPMessageArray operator+(const TCPMessageArray& left, TCPMessage* message);
/// *message, then right's messages.
FIELDKIT_API TCPMessageArray operator+(TCPMessage* message, const TCPMessageArray& right);
/// @}
