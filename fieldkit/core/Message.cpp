// SPDX-License-Identifier: MIT
#include "Message.h"

#include <cstring>

Message::Message() : data(nullptr), length(0) {}

Message::Message(Message* src) : Message()
{
    if (src)
        SetMessage(src->data, static_cast<int>(src->length));
}

Message::Message(const Message& src) : Message()
{
    SetMessage(src.data, static_cast<int>(src.length));
}

Message::~Message()
{
    FreeMessage();
}

int Message::SetMessage(const void* src, int len)
{
    if (len < 0 || (!src && len > 0)) {
        FreeMessage();
        return 0;
    }
    const char* from = static_cast<const char*>(src);
    const bool inside_own = data && from >= data && from < data + length;
    if (!inside_own)
        FreeMessage();  // the old buffer goes first: a bad_alloc leaves the record empty
    char* fresh = new char[len];
    if (len > 0)
        std::memcpy(fresh, from, static_cast<size_t>(len));
    if (inside_own)
        FreeMessage();
    data = fresh;
    length = static_cast<unsigned int>(len);
    return 1;
}

int Message::FreeMessage()
{
    delete[] data;
    data = nullptr;
    length = 0;
    return 1;
}

Message& Message::operator=(const Message& src)
{
    if (this != &src)
        SetMessage(src.data, static_cast<int>(src.length));
    return *this;
}
