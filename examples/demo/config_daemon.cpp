// SPDX-License-Identifier: MIT
#include "config_daemon.h"

#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace demo {

namespace {

// One request line split into its words: the verb, the key, and the value
// (the rest of the line, outer spaces removed).
struct request {
    std::string verb;
    std::string key;
    std::string value;
};

std::string trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Splits `text` at its first space: the word before it, and the rest trimmed.
std::string take_word(std::string& text)
{
    const size_t space = text.find(' ');
    const std::string word = text.substr(0, space);
    text = space == std::string::npos ? std::string() : trimmed(text.substr(space));
    return word;
}

request parse(std::string line)
{
    request r;
    line = trimmed(line);
    r.verb = take_word(line);
    r.key = take_word(line);
    r.value = line;
    return r;
}

// Control bytes other than TAB: NUL would cut the stored value short, CR, LF
// and the rest would break the reply and announcement lines or a terminal.
bool has_control_bytes(const std::string& line)
{
    return std::any_of(line.begin(), line.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && byte != '\t') || byte == 0x7f;
    });
}

// Bytes of a line as far as the limit counts them: a final CR (of CR LF) is free.
size_t counted_bytes(const std::string& partial, const char* data, const char* stop)
{
    const size_t total = partial.size() + static_cast<size_t>(stop - data);
    const char last = stop > data ? stop[-1] : (partial.empty() ? '\0' : partial.back());
    return last == '\r' ? total - 1 : total;
}

bool is_key(const std::string& key)
{
    return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
    });
}

bool is_verb(const std::string& verb, const char* name)
{
    return strcasecmp(verb.c_str(), name) == 0;
}

}  // namespace

config_daemon::config_daemon(JTCPServer& server, config_store& store) : server_(server), store_(store)
{
}

int config_daemon::answered() const
{
    return answered_.load();
}

int config_daemon::OnMessage(TCPMessage* message)
{
    // One connection's messages come on one reading thread at a time; the
    // record is held here even if the table moves on meanwhile.
    const connection_ptr c = connection_of(message->socket);
    if (!c || c->closing)
        return 0;
    std::string replies;
    const bool keep = take_bytes(*c, message->data, message->length, replies);
    reply_and_close(message, *c, replies, keep);
    return 0;
}

bool config_daemon::OnAccept(const JConnectionInfo& info)
{
    auto c = std::make_shared<connection>();
    c->may_set = info.has_credentials && info.uid == geteuid();
    const std::lock_guard<std::mutex> hold(connections_lock_);
    connections_[info.fd] = std::move(c);
    return true;
}

void config_daemon::OnClose(const JConnectionInfo& info, conn_close_reason)
{
    const std::lock_guard<std::mutex> hold(connections_lock_);
    connections_.erase(info.fd);
}

config_daemon::connection_ptr config_daemon::connection_of(int fd)
{
    const std::lock_guard<std::mutex> hold(connections_lock_);
    const auto found = connections_.find(fd);
    return found == connections_.end() ? nullptr : found->second;
}

bool config_daemon::take_bytes(connection& c, const char* data, size_t len, std::string& replies)
{
    config_store::batch settings(store_);
    const char* const end = data + len;
    while (data < end) {
        const char* newline = static_cast<const char*>(std::memchr(data, '\n', static_cast<size_t>(end - data)));
        const char* stop = newline ? newline : end;
        if (counted_bytes(c.partial, data, stop) > kMaxLineBytes) {
            replies += "ERR line too long\n";
            return false;
        }
        c.partial.append(data, stop);
        if (!newline)
            break;
        replies += std::string(answer(c.partial, c.may_set, settings).GetBuffer()) + "\n";
        answered_.fetch_add(1);
        c.partial.clear();
        data = newline + 1;
    }
    return true;
}

JString config_daemon::answer(std::string line, bool may_set, config_store::batch& settings)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();  // clients that end lines with CR LF
    if (has_control_bytes(line))
        return "ERR control character in request";
    const request r = parse(line);
    if (r.verb.empty())
        return "ERR empty request";
    const bool get = is_verb(r.verb, "GET");
    if (!get && !is_verb(r.verb, "SET"))
        return "ERR unknown command";
    if (r.key.empty() || r.value.empty() != get)
        return get ? "ERR usage: GET key" : "ERR usage: SET key value";
    if (!is_key(r.key))
        return "ERR bad key";
    if (get)
        return settings.get(r.key.c_str());
    if (!may_set)
        return "ERR permission denied";
    return settings.set(r.key.c_str(), r.value.c_str());
}

void config_daemon::reply_and_close(TCPMessage* message, connection& c, const std::string& replies, bool keep)
{
    if (!replies.empty()) {
        message->SetMessage(replies.data(), static_cast<int>(replies.size()));  // keeps message->socket
        server_.SendMessage(message);
    }
    if (keep)
        return;
    // The server owns the descriptor: shutting the connection down makes its
    // next read yield nothing, and the server then closes it and frees the slot.
    c.closing = true;
    c.partial.clear();
    shutdown(message->socket, SHUT_RDWR);
}

}  // namespace demo
