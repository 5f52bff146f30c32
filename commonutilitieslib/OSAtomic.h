/// @file
/// Read-modify-write operations on 32-bit words, made indivisible by one process-wide lock.
#pragma once

#include <atomic>
#include <cstdint>

class OSMutex;
/// The process-wide lock that makes the operations below indivisible.
extern OSMutex sAtomicMutex;

/// Adds delta (modulo 2^32); returns the new value.
uint32_t AtomicAdd(uint32_t* word, int32_t delta);
/// AtomicAdd of -amount; returns the new value.
uint32_t AtomicSub(uint32_t* word, int32_t amount);
/// Sets the mask's bits; returns the value the word had before.
uint32_t AtomicOr(uint32_t* word, uint32_t mask);
/// Stores newValue when the word equals expected: 1 if it stored, else 0.
uint32_t CompareAndStore(uint32_t expected, uint32_t newValue, uint32_t* word);

/// Plain reads and writes of a word that the operations above change from other threads.
/// Every access to such a word is indivisible, so unlocked readers see whole values, and a
/// reader that sees a value also sees what its writer did before writing it.
inline uint32_t AtomicRead(const uint32_t* word) {
    return std::atomic_ref<uint32_t>(*const_cast<uint32_t*>(word)).load(std::memory_order_acquire);
}

/// Stores the value indivisibly, for AtomicRead's readers. It takes no lock, so it may be
/// lost to an operation above that another thread runs at the same time: use it only where
/// no other thread changes the word then (the operations above use it under their lock).
inline void AtomicWrite(uint32_t* word, uint32_t value) {
    std::atomic_ref<uint32_t>(*word).store(value, std::memory_order_release);
}
