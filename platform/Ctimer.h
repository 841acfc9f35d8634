#pragma once
// Time and one-shot timers for the MIDI scheduler of the player and the recorder and for the
// lyrics window's own schedule.
//
// timeGetTime is a steady millisecond clock (it wraps after about 49.7 days, as a 32-bit count of
// milliseconds does). timeSetEvent starts a one-shot timer: its callback runs once, on the one
// timer thread of the process, after the delay. Callbacks run one at a time in order of their due
// times; a callback may start new timers and kill timers, its own included.
// timeBeginPeriod / timeEndPeriod only count their calls: the timer thread always waits with the
// clock's full resolution. The capabilities report periods of 1 ms to 1,000,000 ms.
#include <cstdint>
#include <functional>

using Timercb = std::function<void(unsigned id)>;

// Milliseconds of a steady clock since an arbitrary origin.
uint32_t timeGetTime();

// Runs cb once, delayms after now, on the timer thread. Returns the timer's id (never 0), or 0
// when the delay is outside the capabilities.
unsigned timeSetEvent(unsigned delayms, Timercb cb);

// Cancels a pending timer. A callback of that timer running on the timer thread at this moment
// is waited for, unless the caller is that callback. Returns false when no such timer is pending
// (it fired already or was killed).
bool timeKillEvent(unsigned id);

struct Timecaps {
    unsigned periodmin = 1;
    unsigned periodmax = 1000000;
};
Timecaps timeGetDevCaps();

// Requests a timer resolution in ms; the request is only counted. False when out of the caps.
bool timeBeginPeriod(unsigned ms);
// Ends a request made with the same value; false when no such request is open.
bool timeEndPeriod(unsigned ms);
// Number of requests open (begun and not yet ended), for tests and diagnostics.
int timeperiods();
