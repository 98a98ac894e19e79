#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs `fieldkit-demo --serve` as a real daemon, under systemd-socket-activate and on
its own path, against clients nobody here wrote: nc -U, socat and Python sockets.
Usage: daemon_test.py FIELDKIT_DEMO [UNIT_DIR] | daemon_test.py --skip REASON (exits 77)"""

import os
import pathlib
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

SKIPPED = 77
WAIT = 5.0  # generous bound for anything that should take milliseconds
failures = []
daemons = []  # every daemon started, killed at the end if a check left one running


def check(ok, measured):  # `measured` says what was seen
    if not ok:
        failures.append(measured)
        print("FAIL: " + measured, flush=True)


def wait_until(predicate, limit=WAIT):
    end = time.monotonic() + limit
    while not predicate() and time.monotonic() < end:
        time.sleep(0.01)
    return bool(predicate())


class Daemon:  # --serve PATH, maybe behind systemd-socket-activate (binds PATH, execs on the first connection)

    def __init__(self, binary, path, activated=False, extra=(), more_listeners=()):
        self.path, self.log = path, path + ".log"
        listeners = [arg for listener in (path, *more_listeners) for arg in ("-l", listener)]
        command = (["systemd-socket-activate", *listeners] if activated else []) + [binary, "--serve", path, *extra]
        with open(self.log, "w") as out:
            self.proc = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT)
        daemons.append(self.proc)
        check(wait_until(lambda: os.path.exists(path)), f"{path} did not appear within {WAIT} s")
        if not activated:  # the path is bound before the server starts (and a stale one is there before that)
            check(wait_until(lambda: "serving on" in self.output()), f"no start line: {self.output()!r}")

    def stop(self, sig=signal.SIGTERM):  # the exit status (None: still running after WAIT)
        self.proc.send_signal(sig)
        wait_until(lambda: self.proc.poll() is not None)
        return self.proc.poll()

    def output(self):
        return pathlib.Path(self.log).read_text()

    def lock_set(self):  # named in the daemon's start line
        wait_until(lambda: "lock semaphore set" in self.output())
        words = self.output().split("lock semaphore set ")
        return int(words[1].split()[0]) if len(words) > 1 else None

    def descriptors(self):
        fd_dir, found = f"/proc/{self.proc.pid}/fd", {}
        for n in os.listdir(fd_dir):
            try:
                found[int(n)] = os.readlink(f"{fd_dir}/{n}")
            except FileNotFoundError:  # closed meanwhile
                pass
        return found

    def wait_idle(self):  # until no connection is held (a closed one goes in the next pass); the descriptors then
        def idle():
            lines = pathlib.Path("/proc/net/unix").read_text().splitlines()[1:]
            connected = {line.split()[6] for line in lines if line.split()[5] == "03"}
            return not any(t[len("socket:["):-1] in connected for t in self.descriptors().values())
        check(wait_until(idle), f"the daemon still holds connections {sorted(self.descriptors().items())}")
        return self.descriptors()


def semaphore_sets():  # the ids of the System V semaphore sets
    return {int(line.split()[1]) for line in pathlib.Path("/proc/sysvipc/sem").read_text().splitlines()[1:]}


def connect(path):  # a blocking connect like nc's (it waits while the backlog is full), bounded by SO_SNDTIMEO
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, struct.pack("ll", int(WAIT), 0))
    s.connect(path), s.settimeout(WAIT)
    return s


def ask(s, request, lines=1):  # what came back until `lines` newlines, a close or WAIT (lines=0: within 0.3 s)
    data = b""
    try:
        s.sendall(request)
        if lines == 0:
            return s.recv(4096) if select.select([s], [], [], 0.3)[0] else b""
        while data.count(b"\n") < lines:
            piece = s.recv(4096)
            if not piece:
                break
            data += piece
    except socket.timeout:
        data += b"<nothing more and no close within WAIT>"
    except OSError:  # a reset is a close too
        pass
    return data


def run_tool(command, text, **kwargs):
    done = subprocess.run(command, input=text.encode(), capture_output=True, timeout=WAIT * 2, **kwargs)
    return done.stdout.decode(errors="replace")


def test_foreign_clients(daemon, path):
    # The first connection also makes systemd-socket-activate start the daemon.
    got = run_tool(["nc", "-N", "-U", path], "GET port\nSET color blue\nGET color\nFROB x\n")
    check(got == "OK 8080\nOK\nOK blue\nERR unknown command\n", f"nc -U session replied {got!r}")
    check(wait_until(lambda: "serving on the passed socket (descriptor 3)" in daemon.output()),
          f"socket-activated start line: {daemon.output()!r}")
    got = run_tool(["socat", "-t", "2", "-", "UNIX-CONNECT:" + path], "GET color\r\nSET mode manual\nGET mode\n")
    check(got == "OK blue\nOK\nOK manual\n", f"socat session (CR LF and LF lines) replied {got!r}")


def test_framing(path):
    with connect(path) as s:
        for request, lines, expected, what in (
                (b"GET port\nGET name\n", 2, b"OK 8080\nOK fieldkit-box\n", "two requests in one write"),
                (b"GET na", 0, b"", "half a request, 0.3 s (three reading passes)"),
                (b"me\n", 1, b"OK fieldkit-box\n", "the rest of that request"),
                (b"x" * 1024 + b"\n", 1, b"ERR unknown command\n", "a 1024-byte line"),
                (b"GET port\n", 1, b"OK 8080\n", "the request after a 1024-byte line"),
                (b"SET note " + b"n" * 1015 + b"\r\n", 1, b"OK\n", "a 1024-byte line ending in CR LF (the CR not counted)"),
                (b"SET k a\tb\t\nGET k\n", 2, b"OK\nOK a\tb\t\n", "a value with tabs (the rest of the line)"),
                (b"SET k a\x01b\n", 1, b"ERR control character in request\n", "a value with another control byte"),
                (b"SET k a\x7fb\n", 1, b"ERR control character in request\n", "a value with DEL"),
                (b"GET e\n", 1, b"ERR unknown key\n", "a key that only ends another key"),
                (b"SET port\n", 1, b"ERR usage: SET key value\n", "SET without a value"),
                (b"x" * 1025, 2, b"ERR line too long\n", "a 1025-byte line (expected the refusal, then the close)")):
            got = ask(s, request, lines)
            check(got == expected, f"{what} got {got[:80]!r}")


def new_descriptor(daemon, before):  # (number, target) opened since `before` (maybe a number reused), or None
    def fresh():
        return sorted((fd, t) for fd, t in daemon.descriptors().items() if before.get(fd) != t)
    wait_until(fresh)
    return (fresh() or [None])[0]


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
    check(got == b"ERR empty request\nOK 8080\n", f"a new connection on the descriptor of one that left mid-line got {got!r}")


def test_set_from_other_user(path):
    if os.geteuid() != 0:
        print("skipped: a SET from another user id needs root to run a client as nobody", flush=True)
        return
    os.chmod(os.path.dirname(path), 0o755)
    os.chmod(path, 0o666)
    got = run_tool(["nc", "-N", "-U", path], "SET port 1\nGET port\n", user="nobody", group="nogroup")
    check(got == "ERR permission denied\nOK 8080\n", f"SET from user nobody got {got!r}")


def as_nobody(what):  # True when the hostile checks can run as user nobody; else says why they are skipped
    if os.geteuid() != 0:
        print(f"skipped: {what} as user nobody needs root", flush=True)
    return os.geteuid() == 0


def test_lock_set_attack(daemon):  # nobody's SETVAL and IPC_RMID on the lock set are refused; SET still works
    system_python = "/usr/bin/python3"  # one that nobody may run
    if not as_nobody("SETVAL and IPC_RMID on the lock set") or not os.path.exists(system_python):
        return
    attack = ("import ctypes; libc = ctypes.CDLL(None, use_errno=True); s = int(input()); "
              "print(libc.semctl(s, 0, 16, 0), ctypes.get_errno(), libc.semctl(s, 0, 0), ctypes.get_errno())")
    got = run_tool([system_python, "-c", attack], f"{daemon.lock_set()}\n", user="nobody")
    check(got.split() == ["-1", "13", "-1", "1"], f"nobody's SETVAL, IPC_RMID on the lock set gave (result, errno) {got!r}")
    with connect(daemon.path) as s:
        got = ask(s, b"SET after attack\nGET after\n", 2)
    check(got == b"OK\nOK attack\n", f"SET after the lock-set attack got {got!r}")


# A hostile client as nobody: keeps up to 200 connections to argv[1], dropping and replacing the ones the
# daemon closes; "hoard" stays silent, "flood" writes requests on them as fast as they take them and never reads.
HOSTILE = r"""
import select, socket, sys
path, flood, held = sys.argv[1], sys.argv[2] == "flood", []
while True:
    while len(held) < 200:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.setblocking(False)
        try:
            s.connect(path)
        except OSError:
            s.close()
            break
        held.append(s)
    print(len(held), flush=True)
    readable, writable, _ = select.select([] if flood else held, held if flood else [], [], 0.01)
    for s in readable + writable:  # readable: the daemon ended it (nothing was asked)
        try:
            if flood:
                s.send(b"GET port\n" * 200)
                continue
        except BlockingIOError:
            continue
        except OSError:
            pass
        s.close()
        held.remove(s)
"""


def test_hostile_load(daemon):  # nobody hoarding its slots, flooding without reading, or both: the owner still served
    system_python = "/usr/bin/python3"  # one that nobody may run
    if not as_nobody("hoarding and flooding") or not os.path.exists(system_python):
        return
    os.chmod(os.path.dirname(daemon.path), 0o755)
    for modes in (["hoard"], ["flood"], ["hoard", "flood"]):
        attackers = [subprocess.Popen([system_python, "-c", HOSTILE, daemon.path, mode], user="nobody",
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) for mode in modes]
        for attacker in attackers:
            attacker.stdout.readline()  # its first round of connections is made
        times, replies = [], []
        for _ in range(40):
            start = time.monotonic()
            with connect(daemon.path) as s:
                replies.append(ask(s, b"GET port\n"))
            times.append(time.monotonic() - start)
        for attacker in attackers:
            attacker.kill(), attacker.wait()
        print(f"owner beside nobody's {' and '.join(modes)}: worst round trip of 40 {max(times) * 1000:.1f} ms "
              f"(median {sorted(times)[20] * 1000:.1f} ms)", flush=True)
        check(replies == [b"OK 8080\n"] * 40, f"owner's GETs beside nobody's {modes} got {set(replies)}")
        check(max(times) < 1.0, f"owner's worst round trip beside nobody's {modes}: {max(times):.3f} s")


def test_refusals(binary, scratch):  # what the daemon must not replace, and start failures that say why
    taken = os.path.join(scratch, "taken")
    pathlib.Path(taken).write_text("precious")
    live = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    live.bind(os.path.join(scratch, "live")), live.listen(1)
    for path, reason in ((taken, "exists and is not a socket"), (os.path.join(scratch, "live"), "another process is serving"),
                         (os.path.join(scratch, "missing", "x"), "No such file or directory"),
                         (os.path.join(scratch, "x" * 120), "File name too long")):
        done = subprocess.run([binary, "--serve", path], capture_output=True, text=True, timeout=WAIT)
        check(done.returncode == 1 and reason in done.stderr, f"--serve {path[-20:]}: status {done.returncode}, {done.stderr!r}")
    done = subprocess.run([binary, "--serve", os.path.join(scratch, "both"), "--multicast", "--announce", taken],
                          capture_output=True, text=True, timeout=WAIT)
    check(done.returncode == 2 and "usage" in done.stderr, f"--multicast with --announce: status {done.returncode}")
    check(pathlib.Path(taken).read_text() == "precious", "the file at PATH was changed")
    check(os.path.exists(live.getsockname()), "the live socket's path was removed")
    live.close()


def test_two_passed_listeners(binary, scratch):  # LISTEN_FDS=2 is socket activation too: it serves the first
    path = os.path.join(scratch, "first.sock")
    daemon = Daemon(binary, path, activated=True, more_listeners=(os.path.join(scratch, "second.sock"),))
    with connect(path) as s:
        check(ask(s, b"GET port\n") == b"OK 8080\n", "a GET on the first of two passed listeners")
    check(daemon.stop() == 0, f"exit status with two passed listeners; output {daemon.output()!r}")


def test_stalled_announcements(binary, scratch):  # SETs answered at once although nobody reads the notes
    receiver = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    receiver.bind(os.path.join(scratch, "notes"))
    daemon = Daemon(binary, os.path.join(scratch, "announcing.sock"), extra=("--announce", receiver.getsockname()))
    sets = int(pathlib.Path("/proc/sys/net/unix/max_dgram_qlen").read_text()) + 30  # the queue fills, 30 more
    with connect(daemon.path) as s:
        start = time.monotonic()
        replies = [ask(s, f"SET n {i}\n".encode()) for i in range(sets)]
        seconds = time.monotonic() - start
    check(replies == [b"OK\n"] * sets, f"SETs beside a stalled announce receiver got {set(replies)}")
    check(seconds < sets * 0.1, f"{sets} SETs beside a stalled announce receiver took {seconds:.1f} s")
    check(daemon.stop() == 0, "exit status after SIGTERM beside a stalled announce receiver")
    dropped = daemon.output().split("requests, ")[-1].split()[0]
    check(dropped.isdigit() and int(dropped) > 0, f"summary line: {daemon.output().splitlines()[-1:]}")
    receiver.close()


def test_crash_restarts(binary, scratch):  # 30 SIGKILLs: one lock set, adopted each time; the stale socket replaced
    path, sets = os.path.join(scratch, "crashing.sock"), set()
    for _ in range(31):
        daemon = Daemon(binary, path)
        sets.add(daemon.lock_set())
        if len(sets) == 1 and daemon.proc.poll() is None and _ < 30:
            daemon.stop(signal.SIGKILL)
    check(len(sets) == 1, f"lock sets {sets} over 30 SIGKILL restarts (other processes' sets not counted)")
    with connect(path) as s:
        check(ask(s, b"GET port\n") == b"OK 8080\n", "a GET after 30 SIGKILL restarts")
    check(daemon.stop() == 0 and not sets & semaphore_sets() and not os.path.exists(path),
          f"after the last stop: set kept {sets & semaphore_sets()}, path kept: {os.path.exists(path)}")


def test_signals(binary, scratch):  # SIGHUP keeps it serving; SIGTERM with stdout gone still cleans up
    daemon = Daemon(binary, os.path.join(scratch, "hup.sock"))
    daemon.proc.send_signal(signal.SIGHUP)
    check(wait_until(lambda: "SIGHUP" in daemon.output()), f"no note of SIGHUP: {daemon.output()!r}")
    with connect(daemon.path) as s:
        check(ask(s, b"GET port\n") == b"OK 8080\n", "a GET after SIGHUP")
    check(daemon.stop() == 0, "exit status after SIGHUP, then SIGTERM")
    path = os.path.join(scratch, "mute.sock")
    proc = subprocess.Popen([binary, "--serve", path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    daemons.append(proc)
    proc.stdout.readline()  # the start line: the set exists and the path is bound
    sets = semaphore_sets()
    proc.stdout.close()  # the reader of its output goes away
    proc.send_signal(signal.SIGTERM)
    status = proc.wait(timeout=WAIT)
    check(status == 0 and not os.path.exists(path) and len(semaphore_sets()) == len(sets) - 1,
          f"SIGTERM with stdout gone: status {status}, path kept {os.path.exists(path)}")


def traffic(path, rounds, during=lambda: None):  # 4 clients SET and GET; after `rounds`, `during` runs; errors ignored
    state = {"running": True, "rounds": 0}

    def client(i):
        while state["running"]:
            try:
                with connect(path) as s:
                    for r in range(20):
                        ask(s, f"SET load{i} {r}\nGET load{i}\n".encode(), 2)
                        state["rounds"] += 1
            except OSError:
                time.sleep(0.01)
    threads = [threading.Thread(target=client, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    wait_until(lambda: state["rounds"] > rounds)
    result, state["running"] = during(), False
    for t in threads:
        t.join()
    return result


def check_stop(daemon, label, path_kept):
    sem = daemon.lock_set()
    check(sem in semaphore_sets(), f"{label}: lock semaphore set {sem} not found while serving")

    def stop():  # (exit status or None, seconds after SIGTERM)
        start = time.monotonic()
        daemon.proc.send_signal(signal.SIGTERM)
        wait_until(lambda: daemon.proc.poll() is not None)
        return daemon.proc.poll(), time.monotonic() - start
    status, seconds = traffic(daemon.path, 50, stop)
    check(status == 0, f"{label}: exit status {status} (None: running) after SIGTERM during traffic; output: {daemon.output()!r}")
    check(0.1 <= seconds < 1.0, f"{label}: exit {seconds:.3f} s after SIGTERM (expected the 150 ms stop pause, under 1 s)")
    check(os.path.exists(daemon.path) == path_kept,
          f"{label}: socket path {'removed' if path_kept else 'left behind'} after the stop")
    check(sem not in semaphore_sets(), f"{label}: semaphore set {sem} still exists after the stop")


def test_no_descriptor_leak(daemon):
    before = daemon.wait_idle()
    traffic(daemon.path, 200)
    check(wait_until(lambda: daemon.descriptors() == before), f"descriptors {sorted(before)} before traffic, {sorted(daemon.descriptors())} after it ended")


def test_units(unit_dir, binary, scratch):
    if not unit_dir or not shutil.which("systemd-analyze"):
        print("skipped: systemd-analyze verify (no unit directory or no systemd-analyze)", flush=True)
        return
    units = [os.path.join(scratch, "fieldkit-demo." + kind) for kind in ("socket", "service")]
    for unit in units:
        text = pathlib.Path(unit_dir, os.path.basename(unit)).read_text()
        pathlib.Path(unit).write_text(text.replace("/usr/local/bin/fieldkit-demo", binary))
    done = subprocess.run(["systemd-analyze", "verify"] + units, capture_output=True, text=True)
    check(done.returncode == 0 and not done.stderr.strip(),
          f"systemd-analyze verify: status {done.returncode}, {done.stderr.strip()!r}")


def main():
    missing = [tool for tool in ("nc", "socat", "systemd-socket-activate") if not shutil.which(tool)]
    if sys.argv[1:2] == ["--skip"] or missing:
        print("skipped: " + (" ".join(sys.argv[2:]) if not missing else f"{missing} not installed (netcat-openbsd, socat, systemd)"))
        return SKIPPED
    binary, unit_dir = os.path.abspath(sys.argv[1]), (sys.argv[2:] or [None])[0]
    scratch = tempfile.mkdtemp(prefix="fieldkit-daemon-")
    try:
        path = os.path.join(scratch, "activated.sock")
        daemon = Daemon(binary, path, activated=True)
        test_foreign_clients(daemon, path)
        test_framing(path)
        test_disconnect_mid_line(daemon, path)
        test_set_from_other_user(path)
        check_stop(daemon, "socket-activated", path_kept=True)
        daemon = Daemon(binary, os.path.join(scratch, "bound.sock"), activated=False)
        test_no_descriptor_leak(daemon)
        test_lock_set_attack(daemon)
        test_hostile_load(daemon)
        check_stop(daemon, "bound path", path_kept=False)
        test_refusals(binary, scratch)
        test_two_passed_listeners(binary, scratch)
        test_stalled_announcements(binary, scratch)
        test_crash_restarts(binary, scratch)
        test_signals(binary, scratch)
        test_units(unit_dir, binary, scratch)
    finally:
        for proc in daemons:  # a stop that removes the lock set, then a kill for one that hangs
            proc.terminate()  # nothing when it is gone already
            try:
                proc.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"{len(failures)} failure(s)" if failures else "daemon: every check passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
