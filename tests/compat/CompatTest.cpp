// SPDX-License-Identifier: MIT
// Calls every public operation the way pre-const application code does (char* buffers, void* data,
// unsigned long values, unsigned short time-outs, enumerations, implicit conversions): it must
// keep compiling. Run, it touches no network (use_sockets runs only when asked).
#include <fieldkit/fieldkit.h>

#include <cstdio>
#include <sys/time.h>

namespace {

class EchoApp : public JStdApp {
public:
    JTCPServer* server = nullptr;
    int OnMessage(TCPMessage* message) override { return server->SendMessage(message); }
};

int use_clock_lock_and_messages()
{
    unsigned long start = GetTickCount();
    timeval later, earlier;
    gettimeofday(&earlier, 0), later = earlier, tv_sub(&later, &earlier), Sleep(0);
    CriticalSection cs;
    int n = cs.Lock(10);
    n += cs.Unlock();
    cs.Delete();
    n += cs.Create() + static_cast<int>(GetTickCount() - start) * 0;
    char bytes[] = "payload";
    void* raw = bytes;
    Message other;
    other.SetMessage(raw, 7);
    Message m = &other, copy(m);  // Message(Message*), Message(const Message&)
    TCPMessage t;
    copy = m, t.SetMessage(bytes, 3), t.socket = -1;
    TCPMessage t2(t);
    n += static_cast<int>(m.length) + t2.length + m.FreeMessage();
    return n + (copy.data != 0);
}

int use_strings()
{
    char text[] = "Hello World", set[] = " d", fmt[] = "%s-%d";
    JString s = 'x', from_text(text), from_ptr = &from_text, copy(from_ptr);  // char, char*, JString*, copy
    s = 'y', s = text, s = copy, s += copy, s += 'z', s += text;
    JString sums = s + copy + 'x' + text;
    sums = 'x' + s, sums = text + s;
    int n = s.GetLength() + (s.GetBuffer() != 0) + s[0];
    n += (s == copy) + (s != text) + (text < s) + (s > text) + (s <= copy) + (text >= s);
    n += (s == "lit") + ("lit" != s) + (s < "lit") + (s > "lit") + (s <= "lit") + (s >= "lit");
    n += s.Compare(copy) + s.CompareNoCase(text) + s.Compare('x');
    n += s.Find('o') + s.Find('o', 2) + s.Find(text) + s.Find(text, 1) + s.Find(copy);
    n += s.FindNoCase(text) + s.FindNoCase(copy) + s.FindNoCase('o', 1) + s.FindNoCase(text, 1);
    n += s.ReverseFind('o') + s.IsAllWhiteSpace();
    JString parts = s.Mid(1) + s.Mid(1, 2) + s.Left(2) + s.Right(2) + s.ExtractWord(1);
    n += s.Replace('o', '0') + s.Replace('l', copy) + s.Replace('W', 'w');
    s.Insert(1, copy), s.Insert(0, 'q');
    n += s.Delete(0, 1) + s.Remove('q') + s.DeleteUptoFirstChar('l', 1) + s.RemoveMultiChars(' ');
    s.DeleteLeadingWhiteSpace(), s.DeleteTrailingWhiteSpace();
    s.DeleteLeadingChars(set), s.DeleteLeadingChars('x'), s.DeleteTrailingChars(set), s.DeleteTrailingChars('x');
    s.MakeUpper(), s.MakeLower(), s.Format(fmt, text, 7), s.print(), s.println();
    return n + parts.GetLength();
}

int use_pointer_arrays()
{
    char* owned = new char[4];
    JPtrArray base;
    base.push(owned), base._swap(0, 0);
    int n = base.Find(owned) + base.GetCount() + (base[0] == owned);
    delete[] static_cast<char*>(base.pop()), base.push(new char[4]), delete[] static_cast<char*>(base.getptr());
    base.push(0), base.Delete(0), base.RemoveAll();

    unsigned long value = 9;
    DWORDArray d = 5ul, from_ptr = &value, copy(d);  // unsigned long, unsigned long*, copy
    d.Add(0ul), d.Add(&value), d += 3ul, d += copy, copy = d;
    DWORDArray sums = d + copy + 4ul + &value;
    sums = 4ul + d, sums = &value + d;
    n += static_cast<int>(*d[0]) + sums.GetCount() + from_ptr.GetCount();
    d.Remove(d[1]), d.Remove(0), d.Delete(0), delete static_cast<unsigned long*>(d.pop()), d.push(new unsigned long(1));

    TCPMessage message;
    message.SetMessage(owned, 0);
    TCPMessageArray ms = message, from_msg = &message, mcopy(ms);  // TCPMessage, TCPMessage*, copy
    ms.Add(message), ms.Add(&message), ms += message, ms += mcopy, mcopy = ms;
    TCPMessageArray msums = ms + mcopy + message + &message;
    msums = message + ms, msums = &message + ms;
    n += msums.GetCount() + from_msg.GetCount() + ms[0]->socket;
    ms.Remove(ms[1]), ms.Remove(0), ms.Delete(0);
    return n;
}

int use_string_arrays()
{
    char text[] = "key: value", key[] = "key";
    JString s(text);
    JStringArray a = JString("a"), b(a);  // JStringArray(JString), copy
    a = JString("q");
    a.AddString(text), a.AddString(s), a.AddString(&s), a.Push(s), a += s, a += b, b = a;
    JStringArray sums = a + b;
    sums = a + s, sums = s + a;
    int n = a.FindString(s) + a.GetCount() + a[0].GetLength() + a.ReadString(1).GetLength();
    n += a.FindStringinString(key, 1).GetLength() + a.FindStringinStringNoCase(key, 0).GetLength();
    a.sort_with_case(), a.sort_no_case();
    JString* slot = &s;  // the comparators see two slots of the block
    n += JStringArray::compare_with_case(&slot, &slot) + JStringArray::compare_with_no_case(&slot, &slot);
    a.DeleteUptoFirstChar(':', 1), a.Replace('e', s), a.Replace('e', 'E'), a.Remove('E'), a.DeleteFind('y', -1);
    a.DeleteLeadingChars(' '), a.DeleteTrailingChars(' '), a.RemoveMultiChars(' '), a.RemoveString(0);
    n += a.Pop().GetLength() + a.GetString().GetLength(), a.PrintAll(1);
    return n;
}

int use_sockets()
{
    char path[] = "/tmp/fieldkit-compat", buffer[2048];
    void* raw = buffer;
    unsigned long length = sizeof buffer, peer = 0;
    unsigned short timeout = 100;
    int client = -1;

    JSocket receiver(path, UDP_SOCKET, UDP_RECEIVE), sender, ipv4, listener;
    int n = sender.InitializeSocket(path, UDP_SOCKET, UDP_SEND);
    ipv4.type = UDP_SOCKET, ipv4.ip_addr = 0xEF010203ul, ipv4.port = 5000, ipv4.mcast_if = 0, ipv4.local = false;
    n += ipv4.create_udp_receive_socket() + ipv4.create_udp_send_socket() + ipv4.udp_setup_socket();
    n += ipv4.mcast_join(0xEF010203ul, 0ul) + ipv4.mcast_set_loopback(0) + ipv4.mcast_set_ttl(4) + ipv4.mcast_set_if();
    listener.InitializeSocket(path, TCP_SERVER, 5);
    n += listener.tcp_start_server(5) + listener.tcp_WaitForActivity(100);
    n += listener.tcp_check_for_connection(&peer, &client, 0) + listener.check_read(10, -1, 1);
    n += listener.tcp_set_socket_nolinger() + listener.set_socket_ReUseAddr() + listener.set_socket_nonblock();
    listener.tcp_drop_client(client), listener.tcp_close_listening_socket();

    JSocket stream(path, TCP_CLIENT, UDP_SEND);
    n += stream.tcp_start_client() + stream.connected + stream.fd + stream.direction + stream.addr_len;
    Message m;
    TCPMessage t;
    n += stream.SendMessage(&t) + stream.SendMessage(&m, -1) + stream.SendMessage(raw, length, -1);
    n += stream.ReceiveMessage(&t, timeout) + stream.ReceiveMessage(&m, timeout, -1);
    n += stream.ReceiveMessage(raw, length, timeout, -1);
    n += stream.tcp_send_msg(buffer, length, -1) + stream.tcp_receive_msg(buffer, length, -1);
    n += stream.tcp_check_connection() + (stream.addr != 0) + (stream.addr_in_ptr != 0) + stream.name[0];
    n += stream.addr_in.sin_port + stream.addr_un.sun_family, stream.ResetSocket();

    EchoApp app;
    JTCPServer server(path, 4), idle;
    app.server = &server, server.SetApp(&app);
    n += idle.StartServer(path, 4) + idle.StartListeningThread() + idle.StartThread();
    idle.StopThread(), n += idle.check_fds_read(100, 1) + idle.connection_count + (idle.connections != 0) + (idle.app != 0);
    n += idle.listen_thread.stop + idle.new_connection_thread.running, idle.Cleanup();
    CONN slot;
    thread_C worker;
    slot.init();
    n += worker.Initialize() + slot.fd + slot.ready;
    JTCPServer::new_connection_thread_start(&idle), JTCPServer::listen_thread_start(&idle);
    idle.new_connection_thread_routine(), idle.listen_thread_routine();
    return n;
}

}  // namespace

int main(int argc, char** argv)
{
    int sum = use_clock_lock_and_messages() + use_strings() + use_pointer_arrays() + use_string_arrays();
    if (argc > 1 && argv[1][0] == 's')
        sum += use_sockets();
    std::printf("\n%d\n", sum != 0);
    return 0;
}
