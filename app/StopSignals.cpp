// The stop signals, blocked and taken where the command can end cleanly.
#include "StopSignals.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

sigset_t StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction now {};
        if (sigaction(s, nullptr, &now) == 0 && now.sa_handler != SIG_IGN)
            sigaddset(&set, s);
    }
    return set;
}

void BlockStopSignals()
{
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int TakeStopSignal(long ns)
{
    const sigset_t set = StopSignals();
    const timespec wait{ns / 1000000000L, std::max(1L, ns % 1000000000L)};
    const int taken = sigtimedwait(&set, nullptr, &wait);
    return taken > 0 ? taken : 0;
}

bool StopSignalPending()
{
    const sigset_t set = StopSignals();
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        if (sigismember(&set, s) && sigismember(&pending, s))
            return true;
    return false;
}

void ReleaseStopSignals()
{
    const sigset_t set = StopSignals();
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        if (sigismember(&set, s))
            signal(s, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

const char* StopSignalName(int signal)
{
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    }
    static thread_local char other[24];
    std::snprintf(other, sizeof other, "signal %d", signal);
    return other;
}

std::string StoppedBy(int signal)
{
    return signal ? std::string("; stopped by ") + StopSignalName(signal) : std::string();
}
