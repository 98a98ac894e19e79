#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs `fieldkit-demo --serve` as a real daemon, under systemd-socket-activate
and on its own path, and talks to it with clients nobody here wrote: nc -U
(netcat-openbsd), socat and Python sockets.

    daemon_test.py FIELDKIT_DEMO [UNIT_DIR]
    daemon_test.py --skip REASON      prints the reason, exits 77 (skipped)
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SKIPPED = 77
WAIT = 5.0  # generous bound for anything that should take milliseconds
failures = []
daemons = []  # every daemon started, killed at the end if a check left one running


def check(ok, measured):
    """Records a failed fact; `measured` says what was seen."""
    if not ok:
        failures.append(measured)
        print("FAIL: " + measured, flush=True)
    return ok


def wait_until(predicate, limit=WAIT):
    end = time.monotonic() + limit
    while not predicate():
        if time.monotonic() > end:
            return False
        time.sleep(0.01)
    return True


class Daemon:
    """fieldkit-demo --serve PATH, optionally behind systemd-socket-activate
    (which binds PATH, waits for the first connection, then execs the daemon
    in its own process with LISTEN_PID/LISTEN_FDS set)."""

    def __init__(self, binary, path, activated):
        self.path = path
        self.log = path + ".log"
        command = [binary, "--serve", path]
        if activated:
            command = ["systemd-socket-activate", "-l", path] + command
        with open(self.log, "w") as out:
            self.proc = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT)
        daemons.append(self.proc)
        check(wait_until(lambda: os.path.exists(path)), f"{path} did not appear within {WAIT} s")

    def output(self):
        with open(self.log) as f:
            return f.read()

    def lock_set(self):
        """The semaphore set named in the daemon's start line, or None."""
        wait_until(lambda: "lock semaphore set" in self.output())
        words = self.output().split("lock semaphore set ")
        return int(words[1].split()[0]) if len(words) > 1 else None

    def descriptors(self):
        fd_dir = f"/proc/{self.proc.pid}/fd"
        found = {}
        for n in os.listdir(fd_dir):
            try:
                found[int(n)] = os.readlink(f"{fd_dir}/{n}")
            except FileNotFoundError:
                pass  # closed meanwhile
        return found

    def wait_idle(self):
        """Waits until the daemon holds no connected socket (the server drops a
        closed connection in its next pass); the descriptors then."""
        def idle():
            with open("/proc/net/unix") as f:
                connected = {line.split()[6] for line in f.readlines()[1:] if line.split()[5] == "03"}
            return not any(t[len("socket:["):-1] in connected for t in self.descriptors().values())
        check(wait_until(idle), f"the daemon still holds connections {sorted(self.descriptors().items())}")
        return self.descriptors()

    def stop(self):
        """SIGTERM; (exit status, seconds until the exit)."""
        start = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait()
        return status, time.monotonic() - start


def semaphore_sets():
    with open("/proc/sysvipc/sem") as f:
        return {int(line.split()[1]) for line in f.readlines()[1:]}


def connect(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(WAIT)
    s.connect(path)
    return s


def read_lines(s, count):
    """Reads until `count` newlines have arrived, the peer closed, or WAIT passed."""
    data = b""
    try:
        while data.count(b"\n") < count:
            piece = s.recv(4096)
            if not piece:
                break
            data += piece
    except OSError:
        pass
    return data


def ask(s, request, lines=1):
    try:
        s.sendall(request)
    except OSError as e:
        return f"send failed: {e}".encode()
    return read_lines(s, lines)


def run_tool(command, text, **kwargs):
    done = subprocess.run(command, input=text.encode(), capture_output=True, timeout=WAIT * 2, **kwargs)
    return done.stdout.decode(errors="replace")


# ---- Clients nobody here wrote -----------------------------------------------

def test_netcat(path):
    # The first connection also makes systemd-socket-activate start the daemon.
    got = run_tool(["nc", "-N", "-U", path], "GET port\nSET color blue\nGET color\nFROB x\n")
    check(got == "OK 8080\nOK\nOK blue\nERR unknown command\n", f"nc -U session replied {got!r}")


def test_socat(path):
    got = run_tool(["socat", "-t", "2", "-", "UNIX-CONNECT:" + path], "GET color\r\nSET mode manual\nGET mode\n")
    check(got == "OK blue\nOK\nOK manual\n", f"socat session (CR LF and LF lines) replied {got!r}")


# ---- Framing, with a Python client ----------------------------------------------

def test_two_requests_in_one_write(path):
    with connect(path) as s:
        got = ask(s, b"GET port\nGET name\n", 2)
    check(got == b"OK 8080\nOK fieldkit-box\n", f"two requests in one write got {got!r}")


def test_request_split_across_writes(path):
    with connect(path) as s:
        s.sendall(b"GET na")
        s.settimeout(0.3)  # three reading passes of the server
        try:
            early = s.recv(100)
        except socket.timeout:
            early = b""
        check(early == b"", f"half a request was answered with {early!r}")
        s.settimeout(WAIT)
        got = ask(s, b"me\n")
    check(got == b"OK fieldkit-box\n", f"request split across two writes 0.3 s apart got {got!r}")


def test_line_length_limit(path):
    with connect(path) as s:
        longest = ask(s, b"x" * 1024 + b"\n")
        check(longest == b"ERR unknown command\n", f"a 1024-byte line got {longest[:60]!r}")
        after = ask(s, b"GET port\n")
        check(after == b"OK 8080\n", f"the request after a 1024-byte line got {after!r}")
        refused = ask(s, b"x" * 1025, 2)
    check(refused == b"ERR line too long\n", f"a 1025-byte line got {refused[:60]!r} before the close")


def new_descriptor(daemon, before):
    """(number, target) of a descriptor the daemon opened since `before`: an
    accepted connection (a number may come back with a new socket), or None."""
    fresh = []

    def appeared():
        fresh[:] = sorted((fd, t) for fd, t in daemon.descriptors().items() if before.get(fd) != t)
        return fresh

    wait_until(appeared)
    return fresh[0] if fresh else None


def test_disconnect_mid_line(daemon, path):
    before = daemon.wait_idle()
    with connect(path) as a:
        a.sendall(b"SET port 1")  # no newline: a partial line
        first = new_descriptor(daemon, before)
        time.sleep(0.3)  # three reading passes: the server has read the partial line
    daemon.wait_idle()
    with connect(path) as b:
        second = new_descriptor(daemon, before)
        got = ask(b, b"\nGET port\n", 2)
    check(first is not None and second is not None and first[0] == second[0],
          f"the second connection got descriptor {second}, the first {first}: the reuse case was not reached")
    check(got == b"ERR empty request\nOK 8080\n",
          f"a new connection on the descriptor of one that left mid-line got {got!r}")


def test_set_from_other_user(path):
    if os.geteuid() != 0:
        print("skipped: a SET from another user id needs root to run a client as nobody", flush=True)
        return
    os.chmod(os.path.dirname(path), 0o755)
    os.chmod(path, 0o666)
    got = run_tool(["nc", "-N", "-U", path], "SET port 1\nGET port\n", user="nobody", group="nogroup")
    check(got == "ERR permission denied\nOK 8080\n", f"SET from user nobody got {got!r}")


# ---- Stopping ------------------------------------------------------------------

class Traffic:
    """Client threads that connect, GET and SET in a loop until stopped;
    failures while the daemon goes away are expected and ignored."""

    def __init__(self, path, clients=4):
        self.running = True
        self.rounds = 0
        self.threads = [threading.Thread(target=self.client, args=(path, i)) for i in range(clients)]
        for t in self.threads:
            t.start()

    def client(self, path, i):
        while self.running:
            try:
                with connect(path) as s:
                    for r in range(20):
                        ask(s, f"SET load{i} {r}\nGET load{i}\n".encode(), 2)
                        self.rounds += 1
            except OSError:
                time.sleep(0.01)

    def stop(self):
        self.running = False
        for t in self.threads:
            t.join()


def check_stop(daemon, label, path_kept):
    sem = daemon.lock_set()
    check(sem in semaphore_sets(), f"{label}: lock semaphore set {sem} not found while serving")
    traffic = Traffic(daemon.path)
    wait_until(lambda: traffic.rounds > 50)
    status, seconds = daemon.stop()
    traffic.stop()
    check(status == 0, f"{label}: exit status {status} after SIGTERM during traffic; output: {daemon.output()!r}")
    check(0.1 <= seconds < 1.0, f"{label}: exit {seconds:.3f} s after SIGTERM (expected the 150 ms stop pause, under 1 s)")
    check(os.path.exists(daemon.path) == path_kept,
          f"{label}: socket path {'removed' if path_kept else 'left behind'} after the stop")
    check(sem not in semaphore_sets(), f"{label}: semaphore set {sem} still exists after the stop")


def test_no_descriptor_leak(daemon):
    before = daemon.wait_idle()
    traffic = Traffic(daemon.path)
    wait_until(lambda: traffic.rounds > 200)
    traffic.stop()
    returned = wait_until(lambda: daemon.descriptors() == before)
    check(returned, f"descriptors {sorted(before)} before traffic, {sorted(daemon.descriptors())} after it ended")


def test_units(unit_dir, binary, scratch):
    if not unit_dir or not shutil.which("systemd-analyze"):
        print("skipped: systemd-analyze verify (no unit directory or no systemd-analyze)", flush=True)
        return
    units = []
    for name in ("fieldkit-demo.socket", "fieldkit-demo.service"):
        with open(os.path.join(unit_dir, name)) as f:
            text = f.read().replace("/usr/local/bin/fieldkit-demo", binary)
        units.append(os.path.join(scratch, name))
        with open(units[-1], "w") as f:
            f.write(text)
    done = subprocess.run(["systemd-analyze", "verify"] + units, capture_output=True, text=True)
    check(done.returncode == 0 and not done.stderr.strip(),
          f"systemd-analyze verify: status {done.returncode}, {done.stderr.strip()!r}")


def main():
    if sys.argv[1:2] == ["--skip"]:
        print("skipped: " + " ".join(sys.argv[2:]))
        return SKIPPED
    binary = os.path.abspath(sys.argv[1])
    unit_dir = sys.argv[2] if len(sys.argv) > 2 else None
    for tool in ("nc", "socat", "systemd-socket-activate"):
        if not shutil.which(tool):
            print(f"skipped: {tool} is not installed (netcat-openbsd, socat, systemd)")
            return SKIPPED
    scratch = tempfile.mkdtemp(prefix="fieldkit-daemon-")
    try:
        path = os.path.join(scratch, "activated.sock")
        daemon = Daemon(binary, path, activated=True)
        test_netcat(path)
        check(wait_until(lambda: "serving on the passed socket (descriptor 3)" in daemon.output()),
              f"socket-activated start line: {daemon.output()!r}")
        test_socat(path)
        test_two_requests_in_one_write(path)
        test_request_split_across_writes(path)
        test_line_length_limit(path)
        test_disconnect_mid_line(daemon, path)
        test_set_from_other_user(path)
        check_stop(daemon, "socket-activated", path_kept=True)

        daemon = Daemon(binary, os.path.join(scratch, "bound.sock"), activated=False)
        test_no_descriptor_leak(daemon)
        check_stop(daemon, "bound path", path_kept=False)
        test_units(unit_dir, binary, scratch)
    finally:
        for proc in daemons:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"{len(failures)} failure(s)" if failures else "daemon: every check passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
