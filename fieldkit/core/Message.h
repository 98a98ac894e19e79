// SPDX-License-Identifier: MIT
// Message: an owned byte buffer and its length, the unit the sockets send and
// receive. TCPMessage adds the descriptor of the connection it belongs to.
//
// Ownership: each record owns its buffer alone; copies are deep. A record is
// used by one thread at a time. Allocation failure throws std::bad_alloc and
// leaves the record empty.
#pragma once

#include <fieldkit/Export.h>

class FIELDKIT_API Message {
public:
    char* data;           // owned buffer; null when the record holds nothing
    unsigned int length;  // bytes in data; 0 whenever data is null

    Message();
    Message(Message* src);           // a null src gives an empty record
    Message(const Message& src);
    ~Message();

    // Replaces the contents with a copy of len bytes from src and returns 1.
    // len 0 leaves a valid zero-byte buffer. A source inside the record's own
    // buffer is copied before the old buffer goes. A negative len, or a null
    // src with a positive len, is refused: the record is emptied, result 0.
    int SetMessage(const void* src, int len);
    // Releases the buffer and empties the record; always 1.
    int FreeMessage();
    Message& operator=(const Message& src);  // self-assignment keeps the bytes
};

class FIELDKIT_API TCPMessage : public Message {
public:
    int socket = -1;  // connection descriptor; -1 means the socket's own descriptor
};
