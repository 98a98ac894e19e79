// SPDX-License-Identifier: MIT
#include "JString.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <strings.h>

namespace {

const char* text_of(const char* text)
{
    return text ? text : "";
}

// 1 when strcmp(a, b) passes `test`; 0 when either side has no text.
template <typename Test>
int compare_texts(const char* a, const char* b, Test test)
{
    if (!a || !b)
        return 0;
    return test(std::strcmp(a, b), 0) ? 1 : 0;
}

}  // namespace

JString::JString() : JString("", 0) {}

JString::JString(char c) : JString(&c, 1) {}

JString::JString(const char* text) : JString(text_of(text), static_cast<int>(std::strlen(text_of(text)))) {}

JString::JString(JString* source) : JString(source ? source->text_ : nullptr) {}

JString::JString(const JString& source) : JString(source.text_) {}

JString::JString(const char* bytes, int len) : text_(new_block(len)), length_(len)
{
    std::memcpy(text_, bytes, static_cast<size_t>(len));
    text_[len] = '\0';
}

JString::~JString()
{
    delete[] text_;
    text_ = nullptr;
}

char* JString::new_block(long long len)
{
    if (len < 0 || len > INT_MAX)
        throw std::bad_alloc();  // no int length can describe it
    return new char[static_cast<size_t>(len) + 1];
}

void JString::assign(const char* bytes, int len)
{
    const std::less_equal<const char*> le;
    const bool inside = text_ && le(text_, bytes) && le(bytes, text_ + length_);
    if (!inside) {
        delete[] text_;
        text_ = nullptr;  // a failed allocation below leaves the string without text
    }
    char* block = new_block(len);
    std::memcpy(block, bytes, static_cast<size_t>(len));
    block[len] = '\0';
    adopt(block, len);
}

void JString::adopt(char* block, int len)
{
    delete[] text_;
    text_ = block;
    length_ = len;
}

JString& JString::operator=(const JString& source)
{
    if (this == &source)
        return *this;
    if (source.text_)
        assign(source.text_, source.length_);
    else
        assign("", 0);
    return *this;
}

JString& JString::operator=(char c)
{
    const char text[2] = {c, '\0'};
    return *this = text;
}

JString& JString::operator=(const char* text)
{
    assign(text_of(text), static_cast<int>(std::strlen(text_of(text))));
    return *this;
}

void JString::append(const char* text)
{
    const char* mine = text_of(text_);
    const size_t a = std::strlen(mine);
    const size_t b = std::strlen(text);
    char* block = new_block(static_cast<long long>(a) + static_cast<long long>(b));
    std::memcpy(block, mine, a);
    std::memcpy(block + a, text, b);
    block[a + b] = '\0';
    adopt(block, static_cast<int>(a + b));  // the sum exists before the old block goes
}

JString& JString::operator+=(const JString& other)
{
    append(text_of(other.text_));
    return *this;
}

JString& JString::operator+=(char c)
{
    const char text[2] = {c, '\0'};
    append(text);
    return *this;
}

JString& JString::operator+=(const char* text)
{
    if (text)
        append(text);
    return *this;
}

int JString::Compare(JString other) const
{
    if (!text_)
        return -1;
    return std::strcmp(text_, text_of(other.text_));
}

int JString::CompareNoCase(JString other) const
{
    if (!text_)
        return -1;
    return strcasecmp(text_, text_of(other.text_));
}

void JString::print() const
{
    if (text_)
        std::printf("%s", text_);
}

void JString::println() const
{
    if (!text_)
        return;
    print();
    // The rule looks at what was printed: the text up to its first NUL.
    const size_t n = std::strlen(text_);
    if (n == 0 || text_[n - 1] != '\n')
        std::printf("\n");
}

JString operator+(const JString& a, const JString& b)
{
    return a + b.GetBuffer();  // b without text contributes nothing
}

JString operator+(const JString& a, char c)
{
    const char text[2] = {c, '\0'};
    return a + text;
}

JString operator+(char c, const JString& b)
{
    const char text[2] = {c, '\0'};
    return text + b;
}

JString operator+(const JString& a, const char* b)
{
    JString sum(a.GetBuffer());
    sum += b;
    return sum;
}

JString operator+(const char* a, const JString& b)
{
    JString sum(a);
    sum += b;
    return sum;
}

int operator==(const JString& a, const JString& b) { return compare_texts(a.GetBuffer(), b.GetBuffer(), std::equal_to<int>()); }
int operator==(const JString& a, const char* b) { return compare_texts(a.GetBuffer(), b, std::equal_to<int>()); }
int operator==(const char* a, const JString& b) { return compare_texts(a, b.GetBuffer(), std::equal_to<int>()); }
int operator!=(const JString& a, const JString& b) { return compare_texts(a.GetBuffer(), b.GetBuffer(), std::not_equal_to<int>()); }
int operator!=(const JString& a, const char* b) { return compare_texts(a.GetBuffer(), b, std::not_equal_to<int>()); }
int operator!=(const char* a, const JString& b) { return compare_texts(a, b.GetBuffer(), std::not_equal_to<int>()); }
int operator<(const JString& a, const JString& b) { return compare_texts(a.GetBuffer(), b.GetBuffer(), std::less<int>()); }
int operator<(const JString& a, const char* b) { return compare_texts(a.GetBuffer(), b, std::less<int>()); }
int operator<(const char* a, const JString& b) { return compare_texts(a, b.GetBuffer(), std::less<int>()); }
int operator>(const JString& a, const JString& b) { return compare_texts(a.GetBuffer(), b.GetBuffer(), std::greater<int>()); }
int operator>(const JString& a, const char* b) { return compare_texts(a.GetBuffer(), b, std::greater<int>()); }
int operator>(const char* a, const JString& b) { return compare_texts(a, b.GetBuffer(), std::greater<int>()); }
int operator<=(const JString& a, const JString& b) { return compare_texts(a.GetBuffer(), b.GetBuffer(), std::less_equal<int>()); }
int operator<=(const JString& a, const char* b) { return compare_texts(a.GetBuffer(), b, std::less_equal<int>()); }
int operator<=(const char* a, const JString& b) { return compare_texts(a, b.GetBuffer(), std::less_equal<int>()); }
int operator>=(const JString& a, const JString& b) { return compare_texts(a.GetBuffer(), b.GetBuffer(), std::greater_equal<int>()); }
int operator>=(const JString& a, const char* b) { return compare_texts(a.GetBuffer(), b, std::greater_equal<int>()); }
int operator>=(const char* a, const JString& b) { return compare_texts(a, b.GetBuffer(), std::greater_equal<int>()); }
