// The process's clocks. All but the calendar one read CLOCK_MONOTONIC, so that
// a change of the wall clock cannot stall or rush playback, timeouts or rate
// limits.
#pragma once

#include <cstdint>

// Milliseconds.
int64_t MonotonicMs();
// Milliseconds, low 32 bits: wraps after 49.7 days; differences are taken
// unsigned (chunk timestamps, relay timing).
uint32_t MonotonicMs32();
// 100-ns units (the pacing of playback).
int64_t Monotonic100ns();

// The millisecond tick count of voice detection and stall detection;
// tests install their own clock (none: the system's).
using LiveChannelClock = uint32_t (*)();
void LiveChannelSetClock(LiveChannelClock clock);
uint32_t LiveChannelNow();

// The clock of the pacing: Monotonic100ns, or the one a test set (none
// restores it).
using PacingClock = int64_t (*)();
void PacingSetClock(PacingClock clock);
int64_t PacingNow();
// Milliseconds of a connection's loop (keep-alive, silence, read and connect
// limits): MonotonicMs, or the one a test set.
int64_t ConnectionNow();
// Seconds since 1970 (the calendar clock: watched seconds, the chat backlog's
// age cut), or the one a test set.
int64_t SessionNow();

#ifdef STRMD_TEST_HOOKS
// A test's clock in place of the real one; nullptr restores it.
void ConnectionSetClock(int64_t (*clock)());
void SessionSetClock(int64_t (*clock)());
#endif
