// SPDX-License-Identifier: MIT
// JString: a heap-held, NUL-terminated byte string that owns its text and
// records its length. Characters are plain bytes; ordering and case folding are
// the C library's (strcmp, strcasecmp, tolower, toupper in the current locale).
//
// Ownership: every string owns exactly one block of length + 1 bytes (the text
// and a NUL), never shared and never larger than that. Every change but the
// in-place byte rewrites (Replace(char, char), MakeUpper, MakeLower) installs a
// new block of the new exact size.
//
// A string "without text" has a null text pointer. It exists only after the
// destructor ran or after an allocation failed inside an assignment, a compound
// assignment or Format. Searches then give -1, extractions the empty string,
// comparisons false, Compare -1, output nothing.
//
// Embedded NUL bytes: JString(char) of NUL has length 1 and empty text, and
// Replace(c, '\0') keeps the length. Byte-wise operations (Find(char),
// ReverseFind, Delete, Insert, Remove, Replace, stripping, case) work on the
// stored length, and assignment from a JString copies every byte; copy
// construction, concatenation, comparison, the text searches, extraction and
// output see the C text up to the first NUL.
//
// A null const char* counts as the empty text, except where a refusal is stated.
// Threads: a string must not be used by two threads at once; distinct strings
// are independent. Nothing is thrown but std::bad_alloc.
#pragma once

#include <fieldkit/Export.h>

class FIELDKIT_API JString {
public:
    JString();                          // the empty string: length 0, one NUL byte
    JString(char c);                    // length 1; NUL gives length 1 and empty text
    JString(const char* text);          // copy of the C text
    JString(JString* source);           // copy of its C text; null gives the empty string
    JString(const JString& source);     // copy of its C text (length by strlen)
    virtual ~JString();

    char* GetBuffer() { return text_; }  // the own block, null without text
    const char* GetBuffer() const { return text_; }
    int GetLength() const { return length_; }
    char operator[](int index) const { return text_[index]; }  // index 0..length, unchecked

    // Assignments release the old block before allocating the new one: a failed
    // allocation leaves the string without text (its old length kept).
    JString& operator=(const JString& source);  // exact copy: stored length and bytes
    JString& operator=(char c);                 // NUL gives the empty string
    JString& operator=(const char* text);       // null gives the empty string

    // Receiver becomes receiver + argument (as operator+, C texts). A null text
    // changes nothing. Appending a string to itself doubles it.
    JString& operator+=(const JString& other);
    JString& operator+=(char c);
    JString& operator+=(const char* text);

    // strcmp / strcasecmp of the two texts; -1 when the receiver has no text.
    int Compare(JString other) const;
    int CompareNoCase(JString other) const;

    // Standard output through stdio, not flushed. println adds "\n" unless the
    // printed text already ends in one; without text nothing is written.
    void print() const;
    void println() const;

    // Searches: 0-based index of the first match counted from the string's
    // start, or -1. A start outside 0..length-1 gives -1. Find(char) scans the
    // stored length; the text searches (strstr) stop at the first NUL.
    int Find(char c) const;
    int Find(char c, int start) const;
    int Find(const char* pattern) const;  // the empty pattern matches at 0
    int Find(const char* pattern, int start) const;
    int Find(JString pattern) const;
    // Case-insensitive (tolower byte by byte). A null or empty pattern gives -1.
    int FindNoCase(const char* pattern) const;
    int FindNoCase(JString pattern) const;
    int FindNoCase(char c, int start) const;
    int FindNoCase(const char* pattern, int start) const;
    int ReverseFind(char c) const;  // last occurrence, by the stored length

    // Extractions give new strings (C text); refusals give the empty string.
    JString Mid(int pos) const;             // from pos to the end; pos outside 0..length-1 refused
    JString Mid(int pos, int count) const;  // Left(count) of Mid(pos)
    JString Left(int count) const;          // count <= 0 gives the empty string
    JString Right(int count) const;         // the last count characters
    // Word n (from 1) of the text with tabs made spaces, runs of spaces collapsed
    // and the ends trimmed; the empty string when there are fewer words. n <= 0
    // gives that whole normalised text.
    JString ExtractWord(int n) const;
    int IsAllWhiteSpace() const;  // 1 when every byte is one of " \t\n\r" (also when empty), else 0

    // Replacement and insertion.
    int Replace(char from, char to);  // in place; count replaced, -1 without text
    // Every c becomes the replacement's C text; the count, 0 without text, and
    // -1 (nothing changed) when the replacement itself holds c. The last
    // character is replaced by appending, which cuts the text at an embedded NUL.
    int Replace(char c, JString with);
    // Puts what's bytes before position pos; pos must address a character
    // (0..length-1), otherwise nothing changes.
    void Insert(int pos, JString what);

    // Deletions return the new length, or -1 when nothing was deleted.
    // count -1 means to the end; a range past the end, pos < 0 or a count of 0
    // or below (other than -1) is refused.
    int Delete(int pos, int count);
    int Remove(char c);  // every c; the length (unchanged when none), -1 without text
    // Deletes up to c (including it when `including` is non-zero); -1 when c is
    // absent or nothing lies before it.
    int DeleteUptoFirstChar(char c, unsigned char including);
    // Runs of two or more c within the C text become one c; the number of
    // characters deleted (0 for NUL and without text).
    int RemoveMultiChars(char c);

    // Stripping at the ends; a null set deletes nothing.
    void DeleteLeadingWhiteSpace();  // " \t\n\r"
    void DeleteTrailingWhiteSpace();
    void DeleteLeadingChars(const char* set);
    void DeleteLeadingChars(char c);
    void DeleteTrailingChars(const char* set);
    void DeleteTrailingChars(char c);

    void MakeUpper();  // in place, toupper of every byte of the stored length
    void MakeLower();

    // The printf-style text, cut to its first 1022 characters. The arguments
    // may point into this string. A null format leaves the empty string; a
    // failed allocation leaves the string without text.
    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    FIELDKIT_LOCAL JString(const char* bytes, int len);  // copy of len bytes and a NUL
    // A block for len characters and a NUL; std::bad_alloc when len exceeds an int.
    FIELDKIT_LOCAL static char* new_block(long long len);
    // Installs a copy of len bytes (which may lie in the own block) and a NUL.
    // The old block goes first unless the bytes lie in it.
    FIELDKIT_LOCAL void assign(const char* bytes, int len);
    // Takes over `block` (len characters and a NUL), releasing the old one.
    FIELDKIT_LOCAL void adopt(char* block, int len);
    FIELDKIT_LOCAL void append(const char* text);         // C text of the receiver + text
    FIELDKIT_LOCAL JString piece(int pos, int count) const;  // C text from pos, at most count characters
    // Deletes the run of bytes marked in `member` at the start or at the end.
    FIELDKIT_LOCAL void delete_ends(const bool (&member)[256], bool leading);
    FIELDKIT_LOCAL void map_bytes(int (*map)(int));  // every byte of the stored length, in place

    char* text_;
    int length_;
};

// Concatenation of the two C texts; a side without text gives a copy of the other.
FIELDKIT_API JString operator+(const JString& a, const JString& b);
FIELDKIT_API JString operator+(const JString& a, char c);
FIELDKIT_API JString operator+(char c, const JString& b);
FIELDKIT_API JString operator+(const JString& a, const char* b);
FIELDKIT_API JString operator+(const char* a, const JString& b);

// strcmp of the two texts tested by sign: 1 or 0. A null pointer or a string
// without text on either side makes every one of them 0, != included.
FIELDKIT_API int operator==(const JString& a, const JString& b);
FIELDKIT_API int operator==(const JString& a, const char* b);
FIELDKIT_API int operator==(const char* a, const JString& b);
FIELDKIT_API int operator!=(const JString& a, const JString& b);
FIELDKIT_API int operator!=(const JString& a, const char* b);
FIELDKIT_API int operator!=(const char* a, const JString& b);
FIELDKIT_API int operator<(const JString& a, const JString& b);
FIELDKIT_API int operator<(const JString& a, const char* b);
FIELDKIT_API int operator<(const char* a, const JString& b);
FIELDKIT_API int operator>(const JString& a, const JString& b);
FIELDKIT_API int operator>(const JString& a, const char* b);
FIELDKIT_API int operator>(const char* a, const JString& b);
FIELDKIT_API int operator<=(const JString& a, const JString& b);
FIELDKIT_API int operator<=(const JString& a, const char* b);
FIELDKIT_API int operator<=(const char* a, const JString& b);
FIELDKIT_API int operator>=(const JString& a, const JString& b);
FIELDKIT_API int operator>=(const JString& a, const char* b);
FIELDKIT_API int operator>=(const char* a, const JString& b);
