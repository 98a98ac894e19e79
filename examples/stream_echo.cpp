// SPDX-License-Identifier: MIT
// Stream server and client: a JTCPServer hands every received message to the
// application object, which answers on the connection it came from.
#include <fieldkit/fieldkit.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

// The application: upper-cases each request and sends it back. Runs on the
// server's reading thread; the message it gets carries the client's descriptor.
class Shouter : public JStdApp {
public:
    explicit Shouter(JTCPServer& server) : server_(server) {}

    int OnMessage(TCPMessage* m) override
    {
        for (unsigned int i = 0; i < m->length; ++i)
            m->data[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(m->data[i])));
        server_.SendMessage(m);  // m->socket names the connection to answer on
        return 0;
    }

private:
    JTCPServer& server_;
};

// Serves one request/reply exchange on `path` and reports whether it was right.
bool Exchange(const std::string& path)
{
    // Listen on the path with 4 connection slots; both worker threads start here.
    JTCPServer server(path.c_str(), 4);
    Shouter app(server);
    server.SetApp(&app);  // messages before this are read and dropped

    // A client connects (retrying up to 10 times 500 ms apart).
    JSocket client(path.c_str(), TCP_CLIENT, UDP_SEND);
    if (!client.connected)
        return false;

    // One send per message, no framing: the reply is one receive of <= 2048 bytes.
    char request[] = "hello, server";
    client.SendMessage(request, std::strlen(request), -1);
    Message reply;
    const bool got = client.ReceiveMessage(&reply, 2000, -1);  // waits up to 2 s
    const std::string text = got ? std::string(reply.data, reply.length) : "";
    std::printf("sent \"%s\", got \"%s\"\n", request, text.c_str());

    // Stop the workers before the application object goes away.
    server.StopThread();
    return text == "HELLO, SERVER";
}  // the server closes its connections and removes its socket file here

}  // namespace

int main()
{
    // A private directory for the socket file.
    char dir[] = "/tmp/fieldkit-echo-XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    const bool ok = Exchange(std::string(dir) + "/echo.sock");
    rmdir(dir);
    return ok ? 0 : 1;
}
