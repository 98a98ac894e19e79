// SPDX-License-Identifier: MIT
// Searches and extractions of JString: read-only, the receiver never changes.
#include "JString.h"

#include <cctype>
#include <cstring>
#include <memory>

namespace {

char lower(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// A lower-cased copy of the C text.
std::unique_ptr<char[]> lower_copy(const char* text)
{
    const size_t n = std::strlen(text);
    std::unique_ptr<char[]> copy(new char[n + 1]);
    for (size_t i = 0; i < n; ++i)
        copy[i] = lower(text[i]);
    copy[n] = '\0';
    return copy;
}

// Index of `pattern` in the C text `text` from `start`, or -1 (strstr).
int text_search(const char* text, const char* pattern, int start)
{
    const char* hit = std::strstr(text + start, pattern);
    return hit ? static_cast<int>(hit - text) : -1;
}

}  // namespace

int JString::Find(char c) const
{
    return Find(c, 0);
}

int JString::Find(char c, int start) const
{
    if (!text_ || start < 0 || start >= length_)
        return -1;
    const void* hit = std::memchr(text_ + start, c, static_cast<size_t>(length_ - start));
    return hit ? static_cast<int>(static_cast<const char*>(hit) - text_) : -1;
}

int JString::Find(const char* pattern) const
{
    if (!text_)
        return -1;
    return text_search(text_, pattern ? pattern : "", 0);
}

int JString::Find(const char* pattern, int start) const
{
    if (!text_ || start < 0 || start >= length_)
        return -1;
    return text_search(text_, pattern ? pattern : "", start);
}

int JString::Find(JString pattern) const
{
    return Find(pattern.text_);
}

int JString::FindNoCase(const char* pattern) const
{
    // From 0 this is the same search: an empty receiver matches nothing either way.
    return FindNoCase(pattern, 0);
}

int JString::FindNoCase(JString pattern) const
{
    return FindNoCase(pattern.text_);
}

int JString::FindNoCase(char c, int start) const
{
    if (!text_ || start < 0 || start >= length_)
        return -1;
    // The search runs in the lower-cased C text; the NUL character is the empty
    // one-character text there, found right at start.
    const int text_length = static_cast<int>(std::strlen(text_));
    if (start >= text_length)
        return -1;
    if (c == '\0')
        return start;
    const char wanted = lower(c);
    for (int i = start; i < text_length; ++i)
        if (lower(text_[i]) == wanted)
            return i;
    return -1;
}

int JString::FindNoCase(const char* pattern, int start) const
{
    if (!text_ || !pattern || start < 0 || start >= length_)
        return -1;
    if (*pattern == '\0' || start >= static_cast<int>(std::strlen(text_)))
        return -1;
    return text_search(lower_copy(text_).get(), lower_copy(pattern).get(), start);
}

int JString::ReverseFind(char c) const
{
    if (!text_)
        return -1;
    for (int i = length_ - 1; i >= 0; --i)
        if (text_[i] == c)
            return i;
    return -1;
}

JString JString::piece(int pos, int count) const
{
    const char* from = text_ + pos;
    return JString(from, static_cast<int>(strnlen(from, static_cast<size_t>(count))));
}

JString JString::Mid(int pos) const
{
    return Mid(pos, length_);
}

JString JString::Mid(int pos, int count) const
{
    if (!text_ || pos < 0 || pos >= length_ || count <= 0)
        return JString();
    return piece(pos, count);
}

JString JString::Left(int count) const
{
    return Mid(0, count);
}

JString JString::Right(int count) const
{
    if (!text_ || count <= 0)
        return JString();
    return piece(count >= length_ ? 0 : length_ - count, length_);
}

JString JString::ExtractWord(int n) const
{
    JString words(text_);
    words.Replace('\t', ' ');
    words.RemoveMultiChars(' ');
    words.DeleteLeadingChars(' ');
    words.DeleteTrailingChars(' ');
    if (n <= 0)
        return words;
    // Words are now separated by single spaces.
    int begin = 0;
    for (int word = 1; word < n; ++word) {
        const int space = words.Find(' ', begin);
        if (space < 0)
            return JString();
        begin = space + 1;
    }
    const int space = words.Find(' ', begin);
    return words.piece(begin, (space < 0 ? words.length_ : space) - begin);
}

int JString::IsAllWhiteSpace() const
{
    if (!text_)
        return 0;  // nothing to test: refused like the other operations
    for (int i = 0; i < length_; ++i)
        if (text_[i] == '\0' || !std::strchr(" \t\n\r", text_[i]))
            return 0;
    return 1;
}
