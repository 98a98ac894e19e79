// SPDX-License-Identifier: MIT
// What the demo needs to run as a service: a listening socket handed over by
// the service manager, and a way to wait for the stop signals.
#pragma once

namespace demo {

// The listening socket a service manager passed in (the LISTEN_PID/LISTEN_FDS
// protocol: descriptors from 3 on), or -1. Reads the variables, then removes
// them from the environment so that no child takes them for its own. Only the
// first passed descriptor is used.
int inherited_listener();

// SIGTERM, SIGINT, SIGQUIT and SIGHUP, held back in this thread and every
// thread started after construction and read through a signalfd, so that no
// handler runs and no worker sees an interrupted call; SIGPIPE is ignored, so
// that output whose reader went away cannot end the process. Construct before
// starting any thread. The signals stay held back until the process ends: a
// second one during the shutdown cannot cut it short.
class stop_signals {
public:
    stop_signals();
    ~stop_signals();  // closes the signalfd
    stop_signals(const stop_signals&) = delete;
    stop_signals& operator=(const stop_signals&) = delete;

    bool usable() const;
    // Waits for one of the signals; its number, or 0 when the wait failed.
    int wait();

private:
    int fd_;
};

}  // namespace demo
