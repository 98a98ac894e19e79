// SPDX-License-Identifier: MIT
#pragma once

#include <fieldkit/Export.h>

/// A heap-held, NUL-terminated byte string that owns its text and records its
/// length. Characters are plain bytes; ordering and case folding are the C
/// library's (strcmp, strcasecmp, tolower, toupper in the current locale).
///
/// Ownership: every string owns exactly one block of length + 1 bytes (the text
/// and a NUL), never shared and never larger than that. Every change but the
/// in-place byte rewrites (Replace(char, char), MakeUpper, MakeLower) installs a
/// new block of the new exact size.
///
/// A string "without text" has a null text pointer. It exists only after the
/// destructor ran or after an allocation failed inside an assignment or
/// Format. Searches then give -1, extractions the empty string, comparisons
/// false, Compare -1, output nothing.
///
/// Embedded NUL bytes: JString(char) of NUL has length 1 and empty text, and
/// `Replace(c, '\0')` keeps the length. Byte-wise operations (Find(char),
/// ReverseFind, Delete, Insert, Remove, Replace, stripping, case) work on the
/// stored length, and assignment from a JString copies every byte; copy
/// construction, concatenation, comparison, the text searches, extraction and
/// output see the C text up to the first NUL.
///
/// A null const char* counts as the empty text, except where a refusal is stated.
///
/// Out of memory: std::bad_alloc passes through, nothing leaks. The
/// assignments and Format then leave the string without text (its old length
/// kept); every other operation leaves the string, and every operand, as it
/// was.
///
/// Threads: a string must not be used by two threads at once; distinct strings
/// are independent. Nothing is thrown but std::bad_alloc.
///
/// @code
/// JString line("  Port: 8080 ");
/// line.DeleteLeadingWhiteSpace();             // "Port: 8080 "
/// JString value = line.Mid(line.Find(':') + 2);  // "8080 "
/// value.DeleteTrailingChars(' ');             // "8080"
/// if (line.FindNoCase("port") == 0)
///     (JString("port=") + value).println();   // prints "port=8080"
/// @endcode
class FIELDKIT_API JString {
public:
    JString();                  ///< The empty string: length 0, one NUL byte.
    JString(char c);            ///< Length 1; NUL gives length 1 and empty text.
    JString(const char* text);  ///< Copy of the C text.
    JString(JString* source);   ///< Copy of its C text; null gives the empty string.
    JString(const JString& source);  ///< Copy of its C text (length by strlen).
    virtual ~JString();              ///< Releases the block.

    char* GetBuffer() { return text_; }  ///< The own block, null without text.
    const char* GetBuffer() const { return text_; }  ///< The own block, null without text.
    int GetLength() const { return length_; }        ///< The stored length.
    /// The byte at index 0..length (length gives the NUL); unchecked.
    char operator[](int index) const { return text_[index]; }

    // Assignments release the old block before allocating the new one.
    /// Exact copy: stored length and bytes. Out of memory: without text.
    JString& operator=(const JString& source);
    /// One character; NUL gives the empty string. Out of memory: without text.
    JString& operator=(char c);
    /// Copy of the C text; null gives the empty string. Out of memory: without text.
    JString& operator=(const char* text);

    // Compound assignments build the sum before the old block goes: a failed
    // allocation leaves the receiver as it was.
    /// Receiver becomes receiver + other (C texts); s += s doubles s.
    JString& operator+=(const JString& other);
    /// Appends c; NUL appends nothing.
    JString& operator+=(char c);
    /// Appends the C text; null changes nothing.
    JString& operator+=(const char* text);

    /// strcmp of the two texts; -1 when the receiver has no text.
    int Compare(JString other) const;
    /// strcasecmp of the two texts; -1 when the receiver has no text.
    int CompareNoCase(JString other) const;

    // Standard output through stdio, not flushed; without text nothing is written.
    /// Writes the text.
    void print() const;
    /// Writes the text and `"\n"`, unless the printed text already ends in one.
    void println() const;

    // Searches: 0-based index of the first match counted from the string's
    // start, or -1. A start outside 0..length-1 gives -1. Find(char) scans the
    // stored length; the text searches (strstr) stop at the first NUL.
    int Find(char c) const;                           ///< First c.
    int Find(char c, int start) const;                ///< First c from start.
    int Find(const char* pattern) const;              ///< First pattern; the empty one matches at 0.
    int Find(const char* pattern, int start) const;   ///< First pattern from start.
    int Find(JString pattern) const;                  ///< First pattern's C text.
    // Case-insensitive (tolower byte by byte). A null or empty pattern gives -1.
    int FindNoCase(const char* pattern) const;        ///< First pattern, any case.
    int FindNoCase(JString pattern) const;            ///< First pattern's C text, any case.
    int FindNoCase(char c, int start) const;          ///< First c from start, any case.
    int FindNoCase(const char* pattern, int start) const;  ///< First pattern from start, any case.
    int ReverseFind(char c) const;  ///< Last occurrence of c, by the stored length.

    // Extractions give new strings (C text); refusals give the empty string.
    JString Mid(int pos) const;             ///< From pos to the end; pos outside 0..length-1 refused.
    JString Mid(int pos, int count) const;  ///< Left(count) of Mid(pos).
    JString Left(int count) const;          ///< The first count characters; count <= 0 gives "".
    JString Right(int count) const;         ///< The last count characters.
    /// Word n (from 1) of the text with tabs made spaces, runs of spaces
    /// collapsed and the ends trimmed; the empty string when there are fewer
    /// words. n <= 0 gives that whole normalised text.
    JString ExtractWord(int n) const;
    /// 1 when every byte is one of `" \t\n\r"` (also when empty), else 0.
    int IsAllWhiteSpace() const;

    // Edits build the new text before the old block goes: a failed allocation
    // leaves the string as it was.
    /// In place: every from becomes to; the count replaced, -1 without text.
    int Replace(char from, char to);
    /// Every c becomes the replacement's C text; the count, 0 without text, and
    /// -1 (nothing changed) when the replacement itself holds c. The last
    /// character is replaced by appending, which cuts the text at an embedded NUL.
    int Replace(char c, JString with);
    /// Puts what's bytes before position pos; pos must address a character
    /// (0..length-1), otherwise nothing changes.
    void Insert(int pos, JString what);

    // Deletions return the new length, or -1 when nothing was deleted.
    /// Deletes count characters from pos; count -1 means to the end. A range
    /// past the end, pos < 0 or a count of 0 or below (other than -1) is refused.
    int Delete(int pos, int count);
    /// Deletes every c; the length (unchanged when none), -1 without text.
    int Remove(char c);
    /// Deletes up to c (including it when `including` is non-zero); -1 when c
    /// is absent or nothing lies before it.
    int DeleteUptoFirstChar(char c, unsigned char including);
    /// Runs of two or more c within the C text become one c; the number of
    /// characters deleted (0 for NUL and without text).
    int RemoveMultiChars(char c);

    // Stripping at the ends; a null set deletes nothing.
    void DeleteLeadingWhiteSpace();              ///< Strips `" \t\n\r"` at the start.
    void DeleteTrailingWhiteSpace();             ///< Strips `" \t\n\r"` at the end.
    void DeleteLeadingChars(const char* set);    ///< Strips the bytes of set at the start.
    void DeleteLeadingChars(char c);             ///< Strips c at the start.
    void DeleteTrailingChars(const char* set);   ///< Strips the bytes of set at the end.
    void DeleteTrailingChars(char c);            ///< Strips c at the end.

    void MakeUpper();  ///< In place, toupper of every byte of the stored length.
    void MakeLower();  ///< In place, tolower of every byte of the stored length.

    /// The printf-style text, cut to its first 1022 characters. The arguments
    /// may point into this string. A null format leaves the empty string; a
    /// failed allocation leaves the string without text.
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

/// @name Concatenation
/// A new string: the two C texts joined; a side without text gives a copy of
/// the other. The operands stay as they are, also when memory runs out.
/// @{
/// a followed by b.
FIELDKIT_API JString operator+(const JString& a, const JString& b);
/// a followed by c (NUL adds nothing).
FIELDKIT_API JString operator+(const JString& a, char c);
/// c followed by b (NUL adds nothing).
FIELDKIT_API JString operator+(char c, const JString& b);
/// a followed by the C text b.
FIELDKIT_API JString operator+(const JString& a, const char* b);
/// The C text a followed by b.
FIELDKIT_API JString operator+(const char* a, const JString& b);
/// @}

/// @name Comparison
/// strcmp of the two texts tested by sign: 1 or 0. A null pointer or a string
/// without text on either side makes every one of them 0, != included.
/// @{
/// Equal texts.
FIELDKIT_API int operator==(const JString& a, const JString& b);
/// Equal texts.
FIELDKIT_API int operator==(const JString& a, const char* b);
/// Equal texts.
FIELDKIT_API int operator==(const char* a, const JString& b);
/// Different texts.
FIELDKIT_API int operator!=(const JString& a, const JString& b);
/// Different texts.
FIELDKIT_API int operator!=(const JString& a, const char* b);
/// Different texts.
FIELDKIT_API int operator!=(const char* a, const JString& b);
/// a sorts before b.
FIELDKIT_API int operator<(const JString& a, const JString& b);
/// a sorts before b.
FIELDKIT_API int operator<(const JString& a, const char* b);
/// a sorts before b.
FIELDKIT_API int operator<(const char* a, const JString& b);
/// a sorts after b.
FIELDKIT_API int operator>(const JString& a, const JString& b);
/// a sorts after b.
FIELDKIT_API int operator>(const JString& a, const char* b);
/// a sorts after b.
FIELDKIT_API int operator>(const char* a, const JString& b);
/// a does not sort after b.
FIELDKIT_API int operator<=(const JString& a, const JString& b);
/// a does not sort after b.
FIELDKIT_API int operator<=(const JString& a, const char* b);
/// a does not sort after b.
FIELDKIT_API int operator<=(const char* a, const JString& b);
/// a does not sort before b.
FIELDKIT_API int operator>=(const JString& a, const JString& b);
/// a does not sort before b.
FIELDKIT_API int operator>=(const JString& a, const char* b);
/// a does not sort before b.
FIELDKIT_API int operator>=(const char* a, const JString& b);
/// @}
