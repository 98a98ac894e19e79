// SPDX-License-Identifier: MIT
#include "JStringArray.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

// Orders two slots of the block (each a JString*) as Compare or CompareNoCase
// orders their strings, without copying either. Emptied slots come first.
int order_slots(const void* a, const void* b, bool no_case)
{
    const JString* x = *static_cast<JString* const*>(a);
    const JString* y = *static_cast<JString* const*>(b);
    if (!x || !y)
        return (x != nullptr) - (y != nullptr);
    const char* left = x->GetBuffer();
    const char* right = y->GetBuffer() ? y->GetBuffer() : "";
    if (!left)
        return -1;  // Compare's result for a receiver without text
    return no_case ? strcasecmp(left, right) : std::strcmp(left, right);
}

}  // namespace

template <typename Edit>
void JStringArray::edit_each(Edit edit)
{
    for (int i = 0; i < count; ++i) {
        if (JString* element = element_at(i))
            edit(*element);
    }
}

JStringArray::JStringArray() = default;

JStringArray::JStringArray(JString s)
{
    AddString(s);
}

JStringArray::JStringArray(const JStringArray& other) : JPtrArray()
{
    AppendCopies<JString>(other);
}

JStringArray::~JStringArray()
{
    RemoveAll();  // ~JPtrArray could not reach Delete(int) of this class
}

void JStringArray::AddString(const char* text)
{
    PushNew<JString>(text ? text : "");
}

void JStringArray::AddString(JString s)
{
    PushNew<JString>(s);
}

void JStringArray::AddString(JString* p)
{
    PushNew<JString>(p);
}

void JStringArray::Push(JString s)
{
    AddString(s);
}

JString JStringArray::Pop()
{
    JString last = ReadString(count - 1);  // copied first: a failure keeps it in the array
    delete static_cast<JString*>(pop());
    return last;
}

JString JStringArray::GetString()
{
    return Pop();
}

JString JStringArray::ReadString(int index) const
{
    const JString* element = element_at(index);
    return element ? JString(*element) : JString();
}

void JStringArray::RemoveString(int index)
{
    RemoveAt(index);
}

void JStringArray::PrintAll(unsigned char newline)
{
    for (int n = count; n > 0; --n) {
        Pop().print();
        if (newline)
            std::fputs("\n", stdout);
    }
}

void JStringArray::Delete(int index)
{
    delete static_cast<JString*>(TakeSlot(index));
}

JStringArray& JStringArray::operator=(const JStringArray& other)
{
    AssignCopies<JString>(other);
    return *this;
}

JStringArray& JStringArray::operator+=(const JStringArray& other)
{
    AppendCopies<JString>(other);
    return *this;
}

JStringArray& JStringArray::operator+=(JString s)
{
    AddString(s);
    return *this;
}

JString JStringArray::operator[](int index) const
{
    return ReadString(index);
}

void JStringArray::sort_with_case()
{
    sort_slots(compare_with_case);
}

void JStringArray::sort_no_case()
{
    sort_slots(compare_with_no_case);
}

int JStringArray::compare_with_case(const void* a, const void* b)
{
    return order_slots(a, b, false);
}

int JStringArray::compare_with_no_case(const void* a, const void* b)
{
    return order_slots(a, b, true);
}

int JStringArray::FindString(JString s) const
{
    for (int i = 0; i < count; ++i) {
        const JString* element = element_at(i);
        if (element && *element == s)
            return i;
    }
    return -1;
}

JString JStringArray::FindStringinString(JString key, unsigned char extract) const
{
    JString value = lookup(key, extract, false);
    if (extract) {  // trims before the separators go: "key  = x" gives " x"
        value.DeleteLeadingChars(' ');
        value.DeleteTrailingChars(' ');
        value.Remove('=');
        value.Remove(':');
    }
    return value;
}

JString JStringArray::FindStringinStringNoCase(JString key, unsigned char extract) const
{
    JString value = lookup(key, extract, true);
    if (extract) {  // separators and tabs go before the trim: "key  = x" gives "x"
        value.Remove('=');
        value.Remove(':');
        value.Remove('\t');
        value.DeleteLeadingChars(' ');
        value.DeleteTrailingChars(' ');
    }
    return value;
}

void JStringArray::DeleteUptoFirstChar(char c, unsigned char including)
{
    edit_each([=](JString& s) { s.DeleteUptoFirstChar(c, including); });
}

void JStringArray::Replace(char c, JString with)
{
    edit_each([&](JString& s) { s.Replace(c, with); });
}

void JStringArray::Replace(char from, char to)
{
    edit_each([=](JString& s) { s.Replace(from, to); });
}

void JStringArray::Remove(char c)
{
    edit_each([=](JString& s) { s.Remove(c); });
}

void JStringArray::DeleteFind(char c, int n)
{
    edit_each([=](JString& s) { s.Delete(s.Find(c), n); });
}

void JStringArray::DeleteLeadingChars(char c)
{
    edit_each([=](JString& s) { s.DeleteLeadingChars(c); });
}

void JStringArray::DeleteTrailingChars(char c)
{
    edit_each([=](JString& s) { s.DeleteTrailingChars(c); });
}

void JStringArray::RemoveMultiChars(char c)
{
    edit_each([=](JString& s) { s.RemoveMultiChars(c); });
}

JString* JStringArray::element_at(int index) const
{
    return static_cast<JString*>(JPtrArray::operator[](index));
}

JString JStringArray::lookup(const JString& key, unsigned char extract, bool no_case) const
{
    for (int i = 0; i < count; ++i) {
        const JString* line = element_at(i);
        if (!line)
            continue;
        const int pos = no_case ? line->FindNoCase(key.GetBuffer()) : line->Find(key.GetBuffer());
        if (pos == -1)
            continue;
        if (!extract)
            return *line;
        const long long start = static_cast<long long>(pos) + key.GetLength() + 2;
        return start < line->GetLength() ? line->Mid(static_cast<int>(start)) : JString();
    }
    return JString();
}

void JStringArray::sort_slots(int (*order)(const void*, const void*))
{
    if (count > 1)
        std::qsort(data, static_cast<size_t>(count), sizeof(void*), order);
}

JStringArray operator+(const JStringArray& a, const JStringArray& b)
{
    JStringArray sum(a);
    sum += b;
    return sum;
}

JStringArray operator+(const JStringArray& a, JString s)
{
    JStringArray sum(a);
    sum.AddString(s);
    return sum;
}

JStringArray operator+(JString s, const JStringArray& a)
{
    JStringArray sum(s);
    sum += a;
    return sum;
}
