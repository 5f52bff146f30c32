#include "platform/FaultInjection.h"

#include <atomic>
#include <mutex>

#include "platform/Platform.h"

namespace Platform {
namespace {

constexpr size_t kPoints = size_t(FaultPoint::kCount);

struct PendingFault {
    uint32_t fError = 0;
    uint32_t fRemaining = 0;
    uint32_t fTaken = 0;
};

std::mutex sFaultsMutex;
PendingFault sFaults[kPoints];
// Calls look at this alone while nothing is armed.
std::atomic<uint32_t> sArmed{0};

}  // namespace

void InjectFault(FaultPoint point, uint32_t error, uint32_t times) {
    std::lock_guard<std::mutex> lock(sFaultsMutex);
    PendingFault& fault = sFaults[size_t(point)];
    fault.fError = error;
    fault.fRemaining = times;
    uint32_t armed = 0;
    for (const PendingFault& each : sFaults)
        armed += each.fRemaining;
    sArmed.store(armed);
}

void ClearFaults() {
    std::lock_guard<std::mutex> lock(sFaultsMutex);
    for (PendingFault& fault : sFaults)
        fault = PendingFault();
    sArmed.store(0);
}

uint32_t FaultsTaken(FaultPoint point) {
    std::lock_guard<std::mutex> lock(sFaultsMutex);
    return sFaults[size_t(point)].fTaken;
}

bool TakeFault(FaultPoint point) {
    if (sArmed.load(std::memory_order_relaxed) == 0) return false;
    uint32_t error;
    {
        std::lock_guard<std::mutex> lock(sFaultsMutex);
        PendingFault& fault = sFaults[size_t(point)];
        if (fault.fRemaining == 0) return false;
        --fault.fRemaining;
        ++fault.fTaken;
        sArmed.fetch_sub(1);
        error = fault.fError;
    }
    SetLastError(error);
    return true;
}

}  // namespace Platform
