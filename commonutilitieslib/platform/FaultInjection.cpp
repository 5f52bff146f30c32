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
    uint32_t fPassing = 0;
    uint32_t fTaken = 0;
};

std::mutex sFaultsMutex;
PendingFault sFaults[kPoints];
// Calls look at this alone while nothing is armed.
std::atomic<uint32_t> sArmed{0};

std::mutex sStepsMutex;
std::function<void()> sStepActions[size_t(Step::kCount)];
std::atomic<uint32_t> sStepsSet{0};  // steps look at this alone while no action is set

}  // namespace

void InjectFault(FaultPoint point, uint32_t error, uint32_t times, uint32_t passing) {
    std::lock_guard<std::mutex> lock(sFaultsMutex);
    PendingFault& fault = sFaults[size_t(point)];
    fault.fError = error;
    fault.fRemaining = times;
    fault.fPassing = passing;
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
    uint32_t calls = 1;
    return TakeFaultWithin(point, &calls);
}

bool TakeFaultWithin(FaultPoint point, uint32_t* calls) {
    if (sArmed.load(std::memory_order_relaxed) == 0) return false;
    uint32_t error;
    {
        std::lock_guard<std::mutex> lock(sFaultsMutex);
        PendingFault& fault = sFaults[size_t(point)];
        if (fault.fRemaining == 0) return false;
        if (fault.fPassing >= *calls) {
            fault.fPassing -= *calls;
            return false;
        }
        *calls = fault.fPassing;
        fault.fPassing = 0;
        --fault.fRemaining;
        ++fault.fTaken;
        sArmed.fetch_sub(1);
        error = fault.fError;
    }
    SetLastError(error);
    return true;
}

void SetStepAction(Step step, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(sStepsMutex);
    sStepActions[size_t(step)] = std::move(action);
    uint32_t set = 0;
    for (const auto& each : sStepActions)
        set += each ? 1 : 0;
    sStepsSet.store(set);
}

void RunStepAction(Step step) {
    if (sStepsSet.load(std::memory_order_relaxed) == 0) return;
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(sStepsMutex);
        action = sStepActions[size_t(step)];
    }
    if (!action) return;
    // Unlocked, since the action may make platform calls of its own; the call it stepped
    // into still reports its own error.
    const uint32_t error = LastError();
    action();
    SetLastError(error);
}

}  // namespace Platform
