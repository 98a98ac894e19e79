// SPDX-License-Identifier: MIT
#pragma once

#include <fieldkit/Export.h>
#include <fieldkit/collections/JPtrArray.h>
#include <fieldkit/strings/JString.h>

/// An ordered list of strings (JString) on the storage of JPtrArray, usable as
/// a stack (Pop and GetString take the last element), as a list of text lines
/// to search and edit, and as a small table of "key: value" or "key = value"
/// settings.
///
/// Ownership: strings enter by copy and leave by copy; no operation adopts a
/// caller's JString or lends out an element. Every removal (RemoveString, Pop,
/// GetString, PrintAll, RemoveAll, assignment, destruction) destroys the
/// element in full. A slot emptied by Delete(int) reads as the empty string,
/// matches no search and is skipped by the editing operations.
///
/// Out of memory: std::bad_alloc passes through, nothing leaks and no element
/// is lost or left half-made. Adding, appending, Pop and GetString leave the
/// array as it was; assignment leaves it empty; PrintAll leaves the elements
/// it has not printed; an editing operation leaves the elements before the
/// failing one edited and the others as they were. Reads, searches, the
/// copying constructors and operator+ leave every operand as it was. Sorting
/// allocates nothing.
///
/// Threads: no locking; one thread at a time per array.
///
/// @code
/// JStringArray settings;
/// settings.AddString("Name: box");
/// settings.AddString("Port: 80");
/// JString port = settings.FindStringinString("Port", 1);  // "80"
/// settings.sort_no_case();
/// JString last = settings.Pop();  // "Port: 80"; "Name: box" stays
/// @endcode
class FIELDKIT_API JStringArray : public JPtrArray {
public:
    JStringArray();                           ///< An empty array.
    JStringArray(JString s);                  ///< One element, a copy of s.
    JStringArray(const JStringArray& other);  ///< Copies every string; emptied slots stay empty.
    ~JStringArray() override;                 ///< Destroys every string, then the block.

    void AddString(const char* text);  ///< Appends a copy of text; null appends the empty string.
    void AddString(JString s);         ///< Appends a copy of s.
    void AddString(JString* p);        ///< Appends a copy of *p; null appends the empty string.
    void Push(JString s);              ///< Same as AddString(JString).
    /// Removes the last element and returns it; the empty string when there is none.
    JString Pop();
    /// Same as Pop(): the last element, not the first.
    JString GetString();
    /// A copy of the element at index; the empty string outside [0, count).
    JString ReadString(int index) const;
    /// Destroys the element at index and closes the gap; the block keeps its
    /// size. Nothing for an index outside [0, count).
    void RemoveString(int index);
    /// Pops and prints every element, last first, each followed by `"\n"` when
    /// newline is non-zero. Leaves the array empty.
    void PrintAll(unsigned char newline);
    /// Destroys the element at index and leaves a null slot; count stays.
    /// Nothing for an index outside [0, count).
    void Delete(int index) override;

    /// Copies of other's strings in place of its own; self-assignment keeps the strings.
    JStringArray& operator=(const JStringArray& other);
    /// Appends copies of other's strings; a += a doubles a.
    JStringArray& operator+=(const JStringArray& other);
    /// Appends a copy of s.
    JStringArray& operator+=(JString s);
    /// A copy of the element at index (changing it leaves the array alone); the
    /// empty string outside [0, count).
    JString operator[](int index) const;

    /// In-place ascending sort with qsort (not stable) in byte order (strcmp);
    /// emptied slots first.
    void sort_with_case();
    /// In-place ascending sort with qsort (not stable), case-insensitive
    /// (strcasecmp); emptied slots first.
    void sort_no_case();
    /// qsort comparator over two slots of the block (each a JString*), as Compare.
    static int compare_with_case(const void* a, const void* b);
    /// qsort comparator over two slots of the block (each a JString*), as CompareNoCase.
    static int compare_with_no_case(const void* a, const void* b);

    /// Index of the first element equal to s (strcmp), or -1.
    int FindString(JString s) const;
    /// The first element containing key (case-sensitive). extract 0: the whole
    /// element. Otherwise the value: the text from two characters after the
    /// key (the width of ": "), with spaces trimmed at both ends and then
    /// every '=' and ':' removed. The empty string when no element contains
    /// key, or when the value would start beyond the end of the line.
    JString FindStringinString(JString key, unsigned char extract) const;
    /// The same with a case-insensitive search (an empty key matches nothing)
    /// and another clean-up of the value: every '=', ':' and tab removed first,
    /// then spaces trimmed at both ends.
    JString FindStringinStringNoCase(JString key, unsigned char extract) const;

    // Each applies the JString operation of the same name to every element in
    // index order and drops its result.
    void DeleteUptoFirstChar(char c, unsigned char including);  ///< JString::DeleteUptoFirstChar on each.
    void Replace(char c, JString with);  ///< JString::Replace(char, JString) on each.
    void Replace(char from, char to);    ///< JString::Replace(char, char) on each.
    void Remove(char c);                 ///< JString::Remove on each.
    /// Deletes n characters from the first c of every element (n -1: to the
    /// end); elements without c, or whose range Delete refuses, stay as they are.
    void DeleteFind(char c, int n);
    void DeleteLeadingChars(char c);   ///< JString::DeleteLeadingChars(char) on each.
    void DeleteTrailingChars(char c);  ///< JString::DeleteTrailingChars(char) on each.
    void RemoveMultiChars(char c);     ///< JString::RemoveMultiChars on each.

private:
    FIELDKIT_LOCAL JString* element_at(int index) const;  // null for an emptied slot or an index outside [0, count)
    // The first element containing key, whole (extract 0) or the raw text
    // after key and two separator characters; the empty string when none.
    FIELDKIT_LOCAL JString lookup(const JString& key, unsigned char extract, bool no_case) const;
    FIELDKIT_LOCAL void sort_slots(int (*order)(const void*, const void*));
    template <typename Edit>
    FIELDKIT_LOCAL void edit_each(Edit edit);
};

/// @name Concatenation
/// Each returns a new array: copies of the operands' strings in the order written.
/// @{
/// a's strings, then b's.
FIELDKIT_API JStringArray operator+(const JStringArray& a, const JStringArray& b);
/// a's strings, then s.
FIELDKIT_API JStringArray operator+(const JStringArray& a, JString s);
/// s, then a's strings.
FIELDKIT_API JStringArray operator+(JString s, const JStringArray& a);
/// @}
