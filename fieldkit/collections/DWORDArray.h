// SPDX-License-Identifier: MIT
#pragma once

#include <fieldkit/Export.h>
#include <fieldkit/collections/JPtrArray.h>

/// An ordered array of unsigned long values, each in a heap cell of its own,
/// on the storage of JPtrArray.
///
/// Ownership: values enter by copy into fresh cells (the pointer forms copy the
/// addressed value; the caller keeps its variable). operator[] lends the cell:
/// read or write through it, never release it. A cell stays put while other
/// elements come and go. The inherited pop/getptr hand the last cell over (the
/// caller deletes it as one unsigned long); the inherited push adopts a cell
/// made with `new unsigned long`.
///
/// Out of memory: std::bad_alloc passes through and nothing leaks. Adding and
/// appending leave the array as it was; assignment leaves it empty; the
/// copying constructors and operator+ leave their operands as they were.
///
/// Threads: no locking; one thread at a time per array.
///
/// A plain int literal 0 matches the value and the pointer overloads equally
/// well; write 0ul for the value zero.
class FIELDKIT_API DWORDArray : public JPtrArray {
public:
    DWORDArray();                       ///< An empty array.
    DWORDArray(const DWORDArray& src);  ///< Copies every value; emptied slots stay empty.
    DWORDArray(unsigned long* value);   ///< One element, *value; a null pointer gives an empty array.
    DWORDArray(unsigned long value);    ///< One element, value.
    ~DWORDArray() override;             ///< Releases every cell, then the block.

    void Add(unsigned long value);   ///< Appends value in a new cell.
    void Add(unsigned long* value);  ///< Appends *value; a null pointer appends nothing.
    /// Releases the cell at index and closes the gap; the block keeps its size.
    /// Nothing for an index outside [0, count).
    void Remove(int index);
    /// Remove(Find(cell)): removes the first element holding this very cell (for
    /// null, the first emptied slot); a pointer the array does not hold, even
    /// one addressing an equal value, removes nothing.
    void Remove(unsigned long* cell);
    /// Releases the cell at index and leaves a null slot; count stays. Nothing
    /// for an index outside [0, count).
    void Delete(int index) override;
    /// The cell at index; null for an emptied slot or an index outside [0, count).
    unsigned long* operator[](int index);

    /// Copies of src's values in place of its own; self-assignment keeps the values.
    DWORDArray& operator=(const DWORDArray& src);
    /// Appends copies of src's values; a += a doubles a.
    DWORDArray& operator+=(const DWORDArray& src);
    /// Appends value.
    DWORDArray& operator+=(unsigned long value);
};

/// @name Concatenation
/// Each returns a new array: the operands' values in the order written. A null
/// pointer operand contributes nothing.
/// @{
/// left's values, then right's.
FIELDKIT_API DWORDArray operator+(const DWORDArray& left, const DWORDArray& right);
/// left's values, then value.
FIELDKIT_API DWORDArray operator+(const DWORDArray& left, unsigned long value);
/// value, then right's values.
FIELDKIT_API DWORDArray operator+(unsigned long value, const DWORDArray& right);
/// left's values, then *value.
FIELDKIT_API DWORDArray operator+(const DWORDArray& left, unsigned long* value);
/// *value, then right's values.
FIELDKIT_API DWORDArray operator+(unsigned long* value, const DWORDArray& right);
/// @}
