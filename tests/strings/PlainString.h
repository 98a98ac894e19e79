// SPDX-License-Identifier: MIT
// PlainString: a reference model of JString for differential checking, written
// as literally as possible from the step-by-step descriptions: every edit
// searches again from the start and rebuilds the block for each character.
// Slow (quadratic) on purpose; keep its texts short.
//
// The block is a std::string of exactly length + 1 bytes whose last byte is the
// NUL; `text()` is the block seen as C text (it stops at the first NUL).
#pragma once

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

class PlainString {
public:
    std::string block;
    int length;

    PlainString() : block(1, '\0'), length(0) {}
    explicit PlainString(char c) : block{c, '\0'}, length(1) {}
    PlainString(const char* s)
    {
        if (!s)
            s = "";
        length = static_cast<int>(std::strlen(s));
        block = std::string(s, length) + '\0';
    }
    explicit PlainString(const PlainString* p) : PlainString(p ? p->text() : "") {}
    PlainString(const PlainString& p) : PlainString(p.text()) {}

    const char* text() const { return block.c_str(); }

    // operator=(const JString&): the source's stored length, then its bytes.
    PlainString& operator=(const PlainString& src)
    {
        if (this == &src)
            return *this;
        length = src.length;
        block = src.block;
        return *this;
    }
    PlainString& operator=(char c)
    {
        char two[2] = {c, '\0'};
        return *this = PlainString(two);
    }
    PlainString& operator=(const char* s)
    {
        if (!s)
            return *this = PlainString();
        return *this = PlainString(s);
    }

    // The core concatenation: strcpy and strcat into scratch, then JString(const char*).
    static PlainString Concat(const PlainString& a, const PlainString& b)
    {
        std::string scratch(static_cast<size_t>(a.length + b.length + 2), '\0');
        std::strcpy(&scratch[0], a.text());
        std::strcat(&scratch[0], b.text());
        return PlainString(scratch.c_str());
    }
    PlainString& operator+=(const PlainString& other)
    {
        PlainString sum = Concat(*this, other);
        return *this = sum;
    }
    PlainString& operator+=(char c) { return *this += PlainString(c); }
    PlainString& operator+=(const char* s) { return s ? *this += PlainString(s) : *this; }

    int Compare(PlainString other) const { return std::strcmp(text(), other.text()); }
    int CompareNoCase(PlainString other) const { return strcasecmp(text(), other.text()); }

    int Find(char c) const
    {
        for (int i = 0; i < length; ++i)
            if (block[i] == c)
                return i;
        return -1;
    }
    int Find(char c, int start) const
    {
        if (start < 0 || start >= length)
            return -1;
        for (int i = start; i < length; ++i)
            if (block[i] == c)
                return i;
        return -1;
    }
    int Find(const char* p) const
    {
        const char* hit = std::strstr(text(), p ? p : "");
        return hit ? static_cast<int>(hit - text()) : -1;
    }
    int Find(const char* p, int start) const
    {
        if (start < 0 || start >= length)
            return -1;
        const char* hit = std::strstr(text() + start, p ? p : "");
        return hit ? static_cast<int>(hit - text()) : -1;
    }
    int Find(PlainString p) const { return Find(p.text()); }
    // Copies of the receiver and the pattern, both lower-cased, then Find.
    int FindLowered(PlainString pattern, int start, bool with_start) const
    {
        PlainString me(this);
        me.MakeLower();
        pattern.MakeLower();
        return with_start ? me.Find(pattern.text(), start) : me.Find(pattern.text());
    }
    int FindNoCase(const char* p) const
    {
        if (!p || PlainString(p).length == 0)
            return -1;
        return FindLowered(PlainString(p), 0, false);
    }
    int FindNoCase(PlainString p) const { return FindNoCase(p.text()); }
    int FindNoCase(char c, int start) const
    {
        if (start < 0 || start >= length)
            return -1;
        return FindLowered(PlainString(c), start, true);
    }
    int FindNoCase(const char* p, int start) const
    {
        if (!p || start < 0 || start >= length || PlainString(p).length == 0)
            return -1;
        return FindLowered(PlainString(p), start, true);
    }
    int ReverseFind(char c) const
    {
        for (int i = length - 1; i >= 0; --i)
            if (block[i] == c)
                return i;
        return -1;
    }

    PlainString Mid(int pos) const
    {
        if (pos >= length || pos < 0)
            return PlainString();
        return PlainString(text() + pos);
    }
    PlainString Mid(int pos, int count) const
    {
        if (pos >= length || pos < 0)
            return PlainString();
        return Mid(pos).Left(count);
    }
    PlainString Left(int count) const
    {
        if (count <= 0)
            return PlainString();
        if (count >= length)
            return PlainString(*this);
        std::string scratch(block, 0, static_cast<size_t>(count));
        return PlainString(scratch.c_str());
    }
    PlainString Right(int count) const
    {
        if (count <= 0)
            return PlainString();
        if (count >= length)
            return PlainString(*this);
        return PlainString(text() + length - count);
    }
    PlainString ExtractWord(int n) const
    {
        PlainString work(text());
        work.Replace('\t', ' ');
        work.RemoveMultiChars(' ');
        work.DeleteLeadingChars(' ');
        work.DeleteTrailingChars(' ');
        if (n <= 0)
            return work;
        for (int step = 1;; ++step) {
            const int pos = work.Find(' ');
            if (step == n)
                return pos == -1 ? work : work.Left(pos);
            if (pos == -1)
                return PlainString();
            work = work.Mid(pos + 1);
        }
    }
    int IsAllWhiteSpace() const
    {
        for (int i = 0; i < length; ++i) {
            const char c = block[i];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
                return 0;
        }
        return 1;
    }

    int Replace(char from, char to)
    {
        int count = 0;
        for (int i = 0; i < length; ++i)
            if (block[i] == from) {
                block[i] = to;
                ++count;
            }
        return count;
    }
    int Replace(char c, PlainString with)
    {
        if (with.Find(c) != -1)
            return -1;
        int count = 0;
        for (;;) {
            const int pos = Find(c);
            if (pos == -1)
                break;
            Delete(pos, 1);
            if (pos < length)
                Insert(pos, with);
            else
                *this += with;
            ++count;
        }
        return count;
    }
    void Insert(int pos, PlainString what)
    {
        if (pos < 0 || pos >= length)
            return;
        block = block.substr(0, static_cast<size_t>(pos)) + what.block.substr(0, static_cast<size_t>(what.length)) +
                block.substr(static_cast<size_t>(pos));
        length += what.length;
    }
    int Delete(int pos, int count)
    {
        if (pos >= length)
            return -1;
        if (count > static_cast<long long>(length) - pos)  // wide: pos may be INT_MIN
            return -1;
        if (pos < 0)
            return -1;
        if (count == -1)
            count = length - pos;
        if (count <= 0)
            return -1;
        block = block.substr(0, static_cast<size_t>(pos)) + block.substr(static_cast<size_t>(pos + count));
        length -= count;
        return length;
    }
    int Remove(char c)
    {
        for (;;) {
            const int pos = Find(c);
            if (pos == -1)
                return length;
            Delete(pos, 1);
        }
    }
    int DeleteUptoFirstChar(char c, unsigned char including)
    {
        const int pos = Find(c);
        if (pos == -1)
            return -1;
        return Delete(0, including ? pos + 1 : pos);
    }
    int RemoveMultiChars(char c)
    {
        if (c == '\0')
            return 0;
        const char pair[3] = {c, c, '\0'};
        int count = 0;
        for (;;) {
            const int pos = Find(pair);
            if (pos == -1)
                return count;
            Delete(pos, 1);
            ++count;
        }
    }
    void DeleteLeadingChars(const char* set)
    {
        if (!set)
            return;
        for (;;) {
            bool matched = false;
            for (const char* s = set; *s; ++s) {
                if (block[0] == *s) {
                    Delete(0, 1);
                    matched = true;
                    break;
                }
            }
            if (!matched)
                return;
        }
    }
    void DeleteLeadingChars(char c)
    {
        while (length > 0 && block[0] == c)
            Delete(0, 1);
    }
    void DeleteTrailingChars(const char* set)
    {
        if (!set)
            return;
        while (length > 0) {
            bool matched = false;
            for (const char* s = set; *s; ++s) {
                if (block[length - 1] == *s) {
                    Delete(length - 1, 1);
                    matched = true;
                    break;
                }
            }
            if (!matched)
                return;
        }
    }
    void DeleteTrailingChars(char c)
    {
        while (length > 0 && block[length - 1] == c)
            Delete(length - 1, 1);
    }
    void DeleteLeadingWhiteSpace() { DeleteLeadingChars(" \t\n\r"); }
    void DeleteTrailingWhiteSpace() { DeleteTrailingChars(" \t\n\r"); }

    void MakeUpper()
    {
        for (int i = 0; i < length; ++i)
            block[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(block[i])));
    }
    void MakeLower()
    {
        for (int i = 0; i < length; ++i)
            block[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(block[i])));
    }

    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        std::string scratch(1024, '\0');
        if (format) {
            va_list args;
            va_start(args, format);
            std::vsnprintf(&scratch[0], 1023, format, args);
            va_end(args);
        }
        *this = PlainString(scratch.c_str());
    }
};

inline PlainString operator+(const PlainString& a, const PlainString& b)
{
    return PlainString::Concat(a, b);
}
inline PlainString operator+(const PlainString& a, char c) { return a + PlainString(c); }
inline PlainString operator+(char c, const PlainString& b) { return PlainString(c) + b; }
