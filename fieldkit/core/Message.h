// SPDX-License-Identifier: MIT
#pragma once

#include <fieldkit/Export.h>

/// An owned byte buffer and its length, the unit the sockets send and receive.
///
/// Ownership: each record owns its buffer alone; copies are deep. A record is
/// used by one thread at a time.
///
/// Out of memory: std::bad_alloc passes through and nothing leaks. A fill
/// (SetMessage, assignment) releases the old buffer first, so a failure leaves
/// the record empty; a failed copy construction leaves its source as it was.
class FIELDKIT_API Message {
public:
    char* data;           ///< Owned buffer; null when the record holds nothing.
    unsigned int length;  ///< Bytes in data; 0 whenever data is null.

    Message();                       ///< An empty record.
    Message(Message* src);           ///< Copy of *src's bytes; a null src gives an empty record.
    Message(const Message& src);     ///< Copy of src's bytes.
    ~Message();                      ///< Releases the buffer.

    /// Replaces the contents with a copy of len bytes from src and returns 1.
    /// len 0 leaves a valid zero-byte buffer. A source inside the record's own
    /// buffer is copied before the old buffer goes (out of memory then leaves
    /// the record as it was; otherwise empty). A negative len, or a null src
    /// with a positive len, is refused: the record is emptied, result 0.
    int SetMessage(const void* src, int len);
    /// Releases the buffer and empties the record; always 1.
    int FreeMessage();
    /// SetMessage of src's bytes (out of memory: empty); self-assignment keeps the bytes.
    Message& operator=(const Message& src);
};

/// A Message and the descriptor of the connection it belongs to. Copies are
/// deep for the bytes and copy the descriptor; a failed assignment leaves the
/// bytes empty and the descriptor as it was.
class FIELDKIT_API TCPMessage : public Message {
public:
    int socket = -1;  ///< Connection descriptor; -1 means the socket's own descriptor.
};
