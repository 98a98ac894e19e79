// SPDX-License-Identifier: MIT
// PlainString: a reference model of JString for differential checking, written as literally as possible from
// the step-by-step descriptions: every edit searches again from the start and rebuilds the block for each
// character. Slow (quadratic) on purpose; keep its texts short.
//
// The block is a std::string of exactly length + 1 bytes whose last byte is the NUL; GetBuffer() is the
// block seen as C text (it stops at the first NUL).
#pragma once

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctype.h>
#include <string>
#include <strings.h>

class PlainString {
public:
    std::string block;
    int length;

    PlainString(const char* s = "") : block(s ? s : ""), length(static_cast<int>(block.size())) { block += '\0'; }
    PlainString(char c) : block{c, '\0'}, length(1) {}
    explicit PlainString(const PlainString* p) : PlainString(p ? p->GetBuffer() : "") {}
    PlainString(const PlainString& p) : PlainString(p.GetBuffer()) {}
    PlainString& operator=(const PlainString&) = default;  // the stored length and every byte
    PlainString& operator=(char c) { return *this = std::string(1, c).c_str(); }

    const char* GetBuffer() const { return block.c_str(); }
    int GetLength() const { return length; }

    // Concatenation: the two C texts into scratch, then a string of that text.
    friend PlainString operator+(const PlainString& a, const PlainString& b)
    {
        return (std::string(a.GetBuffer()) + b.GetBuffer()).c_str();
    }
    PlainString& operator+=(const PlainString& other) { return *this = *this + other; }
    PlainString& operator+=(const char* s) { return s ? *this += PlainString(s) : *this; }  // null: no change

    int Compare(PlainString other) const { return std::strcmp(GetBuffer(), other.GetBuffer()); }
    int CompareNoCase(PlainString other) const { return strcasecmp(GetBuffer(), other.GetBuffer()); }

    // Searches: a start outside 0..length-1 gives -1; Find(c) starts at 0.
    int Find(char c, int start = 0) const
    {
        for (int i = start; i >= 0 && i < length; ++i)
            if (block[i] == c)
                return i;
        return -1;
    }
    int Find(const char* p) const { return Search(p, 0); }
    int Find(const char* p, int start) const { return start < 0 || start >= length ? -1 : Search(p, start); }
    int Find(PlainString p) const { return Find(p.GetBuffer()); }
    // strstr from start, counted from the string's start.
    int Search(const char* p, int start) const
    {
        const char* hit = std::strstr(GetBuffer() + start, p ? p : "");
        return hit ? static_cast<int>(hit - GetBuffer()) : -1;
    }
    // FindNoCase(p) equals FindNoCase(p, 0): an empty receiver matches no non-empty pattern either way.
    int FindNoCase(const char* p, int start = 0) const { return p && *p ? FindLowered(p, start) : -1; }
    int FindNoCase(PlainString p) const { return FindNoCase(p.GetBuffer()); }
    int FindNoCase(char c, int start) const { return FindLowered(PlainString(c).GetBuffer(), start); }
    // Lower-cased copies of the receiver's C text and of the pattern, then Find from start. The copy is
    // never longer than the receiver, so its range check is the receiver's too.
    int FindLowered(const char* p, int start) const
    {
        PlainString me(GetBuffer()), pattern(p);
        me.MakeLower();
        pattern.MakeLower();
        return me.Find(pattern.GetBuffer(), start);
    }
    int ReverseFind(char c) const
    {
        int i = length - 1;
        while (i >= 0 && block[i] != c)
            --i;
        return i;
    }

    // Extractions: new strings of C text; refusals give the empty string.
    PlainString Mid(int pos, int count = INT_MAX) const
    {
        if (pos < 0 || pos >= length)
            return PlainString();
        return PlainString(GetBuffer() + pos).Left(count);
    }
    PlainString Left(int count) const
    {
        if (count <= 0)
            return PlainString();
        return count >= length ? *this : PlainString(block.substr(0, count).c_str());
    }
    PlainString Right(int count) const
    {
        if (count <= 0)
            return PlainString();
        return count >= length ? *this : PlainString(GetBuffer() + length - count);
    }
    PlainString ExtractWord(int n) const
    {
        PlainString work(GetBuffer());
        work.Replace('\t', ' ');
        work.RemoveMultiChars(' ');
        work.DeleteLeadingChars(' ');
        work.DeleteTrailingChars(' ');
        for (int step = 1; n > 0; ++step) {
            const int pos = work.Find(' ');
            if (step == n)
                return pos == -1 ? work : work.Left(pos);
            if (pos == -1)
                return PlainString();
            work = work.Mid(pos + 1);
        }
        return work;
    }
    int IsAllWhiteSpace() const
    {
        for (int i = 0; i < length; ++i)
            if (!std::memchr(" \t\n\r", block[i], 4))
                return 0;
        return 1;
    }

    int Replace(char from, char to)
    {
        const int count = static_cast<int>(std::count(block.begin(), block.end() - 1, from));
        std::replace(block.begin(), block.end() - 1, from, to);
        return count;
    }
    // Each c, searched again from the start: deleted, then the replacement inserted there, or appended when it
    // was the last character.
    int Replace(char c, PlainString with)
    {
        if (with.Find(c) != -1)
            return -1;
        int count = 0;
        for (int pos; (pos = Find(c)) != -1; ++count) {
            Delete(pos, 1);
            if (pos < length)
                Insert(pos, with);
            else
                *this += with;
        }
        return count;
    }
    void Insert(int pos, PlainString what)
    {
        if (pos < 0 || pos >= length)
            return;
        block.insert(pos, what.block, 0, what.length);
        length += what.length;
    }
    int Delete(int pos, int count)
    {
        if (pos >= length || count > static_cast<long long>(length) - pos || pos < 0)  // wide: pos may be INT_MIN
            return -1;
        if (count == -1)
            count = length - pos;
        if (count <= 0)
            return -1;
        block.erase(pos, count);
        return length -= count;
    }
    int Remove(char c)
    {
        for (int pos; (pos = Find(c)) != -1;)
            Delete(pos, 1);
        return length;
    }
    int DeleteUptoFirstChar(char c, unsigned char including)
    {
        const int pos = Find(c);
        return pos == -1 ? -1 : Delete(0, including ? pos + 1 : pos);
    }
    int RemoveMultiChars(char c)
    {
        const char pair[3] = {c, c, '\0'};
        int count = 0;
        for (int pos; c != '\0' && (pos = Find(pair)) != -1; ++count)
            Delete(pos, 1);
        return count;
    }

    // Stripping: while the first (last) byte is in the set, that one character is deleted.
    void Strip(bool leading, const std::string& set)
    {
        while (length > 0 && set.find(block[leading ? 0 : length - 1]) != std::string::npos)
            Delete(leading ? 0 : length - 1, 1);
    }
    void DeleteLeadingChars(const char* set) { Strip(true, set ? set : ""); }
    void DeleteTrailingChars(const char* set) { Strip(false, set ? set : ""); }
    void DeleteLeadingChars(char c) { Strip(true, std::string(1, c)); }
    void DeleteTrailingChars(char c) { Strip(false, std::string(1, c)); }
    void DeleteLeadingWhiteSpace() { DeleteLeadingChars(" \t\n\r"); }
    void DeleteTrailingWhiteSpace() { DeleteTrailingChars(" \t\n\r"); }

    void MakeUpper() { Map(::toupper); }
    void MakeLower() { Map(::tolower); }
    void Map(int (*f)(int))
    {
        for (int i = 0; i < length; ++i)
            block[i] = static_cast<char>(f(static_cast<unsigned char>(block[i])));
    }

    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        char scratch[1024] = {};
        if (format) {
            va_list args;
            va_start(args, format);
            std::vsnprintf(scratch, 1023, format, args);
            va_end(args);
        }
        *this = scratch;
    }
};
