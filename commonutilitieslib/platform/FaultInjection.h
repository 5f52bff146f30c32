// Fault injection for the test suites: chosen platform calls fail, or are interrupted, with
// a chosen error a chosen number of times, so tests can check what every operation does
// then. The fault points exist only in builds configured with tests (CU_FAULT_INJECTION);
// elsewhere they compile to nothing. Steps are points inside platform calls at which a
// test can act, to make a race happen there at will.
#pragma once

#include <cstdint>
#include <functional>

namespace Platform {

enum class FaultPoint : uint8_t {
    kOpenSocket,
    kCloseSocket,
    kSetNonBlocking,
    kSetOption,
    kBind,
    kListen,
    kAccept,
    kConnect,
    kSend,
    kSendVector,
    kReceive,
    kSendTo,
    kReceiveFrom,
    kSelectEvents,
    kWaitEvents,
    kCount
};

#ifdef CU_FAULT_INJECTION
constexpr bool kFaultInjectionBuilt = true;
#else
constexpr bool kFaultInjectionBuilt = false;
#endif

// The next `times` calls at the point, after `passing` calls that succeed, fail with the
// error (a Windows error code, as Platform::SetLastError takes it).
void InjectFault(FaultPoint point, uint32_t error, uint32_t times = 1, uint32_t passing = 0);
// Forgets every fault not yet taken.
void ClearFaults();
// How many injected failures calls at the point have taken so far.
uint32_t FaultsTaken(FaultPoint point);
// True, with the last error set, when the call at the point is to fail now.
bool TakeFault(FaultPoint point);
// The same for a call that stands for *calls calls at the point (a batch of datagrams):
// true when one of them is to fail, with *calls cut to those before it.
bool TakeFaultWithin(FaultPoint point, uint32_t* calls);

enum class Step : uint8_t {
    kReceiveReturned,    // a stream receive's system call has returned; its outcome not noted
    kSendBatchReturned,  // one system call of a gathered send has returned
    kCount
};

// The action runs, on the calling thread, at every pass through the step until an empty
// action replaces it.
void SetStepAction(Step step, std::function<void()> action);
void RunStepAction(Step step);

}  // namespace Platform

#ifdef CU_FAULT_INJECTION
#define CU_FAULT_POINT_RETURNING(point, failure) \
    if (::Platform::TakeFault(::Platform::FaultPoint::point)) return failure
#else
#define CU_FAULT_POINT_RETURNING(point, failure) ((void)0)
#endif
#define CU_FAULT_POINT(point) CU_FAULT_POINT_RETURNING(point, -1)

#ifdef CU_FAULT_INJECTION
#define CU_FAULT_WITHIN(point, calls) \
    ::Platform::TakeFaultWithin(::Platform::FaultPoint::point, calls)
#else
#define CU_FAULT_WITHIN(point, calls) false
#endif

#ifdef CU_FAULT_INJECTION
#define CU_STEP(step) ::Platform::RunStepAction(::Platform::Step::step)
#else
#define CU_STEP(step) ((void)0)
#endif
