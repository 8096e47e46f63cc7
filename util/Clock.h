// The process's clocks. All of them read CLOCK_MONOTONIC, so that a change
// of the wall clock cannot stall or rush playback, timeouts or rate limits.
#pragma once

#include <cstdint>

// Milliseconds.
int64_t MonotonicMs();
// Milliseconds, low 32 bits: wraps after 49.7 days; differences are taken
// unsigned (chunk timestamps, relay timing).
uint32_t MonotonicMs32();
// 100-ns units (the pacing of playback).
int64_t Monotonic100ns();
