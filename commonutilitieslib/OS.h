/// @file
/// The runtime clock and a few operating-system queries.
#pragma once

#include <cstdint>

#include "OSTypes.h"

class OSMutex;

/// The clock and the operating-system queries, all static.
class OS {
public:
    /// Anchors the clock; called once by the host before any other thread reads it.
    static void Initialize();

    /// Milliseconds since 1970-01-01 UTC, anchored at Initialize and advanced only by the
    /// platform's 32-bit millisecond timer, whose wrap-arounds it counts.
    static int64_t Milliseconds();
    /// Microseconds since Initialize, in steps of 1000, without wrap correction.
    static int64_t Microseconds();

    /// Whole hours that local standard time lies east of UTC; 0 when unknown.
    static int32_t TimeZoneOffsetHours();

    /// The eight bytes reversed: host (little-endian) to network order, and back.
    static uint64_t SwapToNetworkOrder64(uint64_t value) { return ReverseBytes64(value); }
    /// See SwapToNetworkOrder64.
    static uint64_t SwapFromNetworkOrder64(uint64_t value) { return ReverseBytes64(value); }

    /// Creates one directory: 0, EEXIST when the path names something else, or the error.
    static int32_t MakeDirectory(const char* path);
    /// Creates every directory along a writable path, rewriting its separators to the
    /// platform's; returns the result for the last component.
    static int32_t MakeDirectoryPath(char* path);

    /// The processors the system reports.
    static uint32_t ProcessorCount();

    /// The span as unsigned 32.32 fixed-point seconds.
    static uint64_t MillisecondsToFixedSeconds(int64_t milliseconds);

    /// The extended timer reading taken by Initialize; 0 until then.
    static int64_t sInitialMSec;

    /// A raw 32-bit millisecond timer.
    using RawTimer = uint32_t (*)();
    /// Test seam: replaces the raw 32-bit millisecond timer, returning the previous one.
    /// For tests only.
    static RawTimer SetRawTimer(RawTimer timer);
    /// A time-zone query: the bias in minutes (UTC = local + bias); false when unknown.
    using TimeZoneSource = bool (*)(int32_t* biasMinutes);
    /// Test seam: replaces the platform's time-zone query, returning the previous one. For
    /// tests only.
    static TimeZoneSource SetTimeZoneSource(TimeZoneSource source);

private:
    static uint64_t ReverseBytes64(uint64_t value);
};
