// SPDX-License-Identifier: MIT
// Editing and formatting of JString. Each edit makes one pass over the text
// and installs at most one new block of the exact new size; the results are
// those of deleting or replacing one character at a time.
#include "JString.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const char kWhiteSpace[] = " \t\n\r";

// Membership table of the characters of a C text (never the NUL).
struct byte_set {
    bool member[256] = {};

    explicit byte_set(const char* set)
    {
        for (; *set; ++set)
            member[static_cast<unsigned char>(*set)] = true;
    }
    explicit byte_set(char c) { member[static_cast<unsigned char>(c)] = true; }
};

// Number of bytes equal to c among the first len of text. (An unsigned
// counter lets the compiler vectorise the loop.)
int count_byte(const char* text, int len, char c)
{
    unsigned count = 0;
    for (int i = 0; i < len; ++i)
        count += text[i] == c;
    return static_cast<int>(count);
}

}  // namespace

int JString::Replace(char from, char to)
{
    if (!text_)
        return -1;
    int count = 0;
    for (int i = 0; i < length_; ++i) {
        if (text_[i] == from) {
            text_[i] = to;
            ++count;
        }
    }
    return count;
}

int JString::Replace(char c, JString with)
{
    if (with.Find(c) != -1)
        return -1;
    if (!text_)
        return 0;
    const int count = count_byte(text_, length_, c);
    if (count == 0)
        return 0;
    // The replacement goes in as its C text. A last character c is replaced by
    // appending, which keeps only the C text before it: the text ends at the
    // first NUL ahead of it (none is left ahead when c itself is the NUL).
    const char* piece = with.text_ ? with.text_ : "";
    const long long piece_length = static_cast<long long>(std::strlen(piece));
    int end = length_;
    bool append = false;
    if (c != '\0' && text_[length_ - 1] == c) {
        const void* nul = std::memchr(text_, '\0', static_cast<size_t>(length_ - 1));
        if (nul) {
            end = static_cast<int>(static_cast<const char*>(nul) - text_);
            append = true;
        }
    }
    const long long kept_hits = append ? count_byte(text_, end, c) + 1LL : count;
    const long long new_length = end - (append ? kept_hits - 1 : kept_hits) + kept_hits * piece_length;
    char* block = new_block(new_length);
    char* out = block;
    for (int i = 0; i < end; ++i) {
        if (text_[i] == c) {
            std::memcpy(out, piece, static_cast<size_t>(piece_length));
            out += piece_length;
        } else {
            *out++ = text_[i];
        }
    }
    if (append) {
        std::memcpy(out, piece, static_cast<size_t>(piece_length));
        out += piece_length;
    }
    *out = '\0';
    adopt(block, static_cast<int>(new_length));
    return count;
}

void JString::Insert(int pos, JString what)
{
    if (!text_ || pos < 0 || pos >= length_ || !what.text_)
        return;
    const int added = what.length_;
    char* block = new_block(static_cast<long long>(length_) + added);
    std::memcpy(block, text_, static_cast<size_t>(pos));
    std::memcpy(block + pos, what.text_, static_cast<size_t>(added));
    std::memcpy(block + pos + added, text_ + pos, static_cast<size_t>(length_ - pos) + 1);
    adopt(block, length_ + added);
}

int JString::Delete(int pos, int count)
{
    if (!text_ || pos < 0 || pos >= length_ || count > length_ - pos)
        return -1;
    if (count == -1)
        count = length_ - pos;
    if (count <= 0)
        return -1;
    const int new_length = length_ - count;
    char* block = new_block(new_length);
    std::memcpy(block, text_, static_cast<size_t>(pos));
    std::memcpy(block + pos, text_ + pos + count, static_cast<size_t>(new_length - pos) + 1);
    adopt(block, new_length);
    return length_;
}

int JString::Remove(char c)
{
    if (!text_)
        return -1;
    const int count = count_byte(text_, length_, c);
    if (count == 0)
        return length_;
    const int new_length = length_ - count;
    char* block = new_block(new_length);
    char* out = block;
    for (int i = 0; i < length_; ++i)
        if (text_[i] != c)
            *out++ = text_[i];
    *out = '\0';
    adopt(block, new_length);
    return length_;
}

int JString::DeleteUptoFirstChar(char c, unsigned char including)
{
    const int pos = Find(c);
    if (pos == -1)
        return -1;
    return Delete(0, including ? pos + 1 : pos);
}

int JString::RemoveMultiChars(char c)
{
    if (!text_ || c == '\0')
        return 0;  // the NUL pair is the empty text: nothing to collapse
    // The pair is searched as text, so only runs before the first NUL collapse.
    const int text_length = static_cast<int>(std::strlen(text_));
    unsigned repeats = 0;
    for (int i = 1; i < text_length; ++i)
        repeats += (text_[i] == c) & (text_[i - 1] == c);
    if (repeats == 0)
        return 0;
    const int count = static_cast<int>(repeats);
    const int new_length = length_ - count;
    char* block = new_block(new_length);
    char* out = block;
    for (int i = 0; i < text_length; ++i)
        if (text_[i] != c || i == 0 || text_[i - 1] != c)
            *out++ = text_[i];
    std::memcpy(out, text_ + text_length, static_cast<size_t>(length_ - text_length) + 1);
    adopt(block, new_length);
    return count;
}

void JString::delete_ends(const bool (&member)[256], bool leading)
{
    if (!text_)
        return;
    int run = 0;
    while (run < length_ && member[static_cast<unsigned char>(text_[leading ? run : length_ - 1 - run])])
        ++run;
    if (run > 0)
        Delete(leading ? 0 : length_ - run, run);
}

void JString::DeleteLeadingWhiteSpace()
{
    DeleteLeadingChars(kWhiteSpace);
}

void JString::DeleteTrailingWhiteSpace()
{
    DeleteTrailingChars(kWhiteSpace);
}

void JString::DeleteLeadingChars(const char* set)
{
    if (set)
        delete_ends(byte_set(set).member, true);
}

void JString::DeleteLeadingChars(char c)
{
    delete_ends(byte_set(c).member, true);
}

void JString::DeleteTrailingChars(const char* set)
{
    if (set)
        delete_ends(byte_set(set).member, false);
}

void JString::DeleteTrailingChars(char c)
{
    delete_ends(byte_set(c).member, false);
}

void JString::MakeUpper()
{
    map_bytes(std::toupper);
}

void JString::MakeLower()
{
    map_bytes(std::tolower);
}

void JString::map_bytes(int (*map)(int))
{
    if (!text_)
        return;
    for (int i = 0; i < length_; ++i)
        text_[i] = static_cast<char>(map(static_cast<unsigned char>(text_[i])));
}

void JString::Format(const char* format, ...)
{
    // At most 1022 characters and the NUL; longer output is cut silently.
    char scratch[1024];
    scratch[0] = '\0';
    if (format) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(scratch, 1023, format, args);
        va_end(args);
    }
    assign(scratch, static_cast<int>(std::strlen(scratch)));
}
