// A worker thread that waits on a condition for jobs, and a producer that hands it some.
#include <commonutilities/OSCond.h>
#include <commonutilities/OSMutex.h>
#include <commonutilities/OSThread.h>

#include <cstdio>

//! [worker]
class Worker : public OSThread {
public:
    // Joined here, while the members Entry uses still exist: ~OSThread runs too late.
    ~Worker() override { StopAndWaitForThread(); }

    void Add(int job) {
        {
            OSMutexLocker locker(&fMutex);
            fPending += job;
        }
        fCond.Signal();  // a signal with no waiter is kept for the next Wait
    }

    void Stop() {
        SendStopRequest();
        fCond.Signal();
    }

    int Done() {
        OSMutexLocker locker(&fMutex);
        return fDone;
    }

private:
    void Entry() override {
        OSMutexLocker locker(&fMutex);  // held once: Wait releases exactly one level
        while (!IsStopRequested() || fPending > 0) {
            if (fPending == 0) {
                fCond.Wait(&fMutex, 1000);  // may return early: look again
                continue;
            }
            fDone += fPending;
            fPending = 0;
        }
    }

    OSMutex fMutex;
    OSCond fCond;
    int fPending = 0;
    int fDone = 0;
};
//! [worker]

int main() {
    OSThread::Initialize();  // once, before the first Start
    //! [use]
    Worker worker;
    worker.Start();
    for (int job = 1; job <= 100; ++job)
        worker.Add(job);
    worker.Stop();
    worker.Join();
    //! [use]
    std::printf("worker summed %d\n", worker.Done());

    //! [rwlock]
    OSReadWriteMutex table;
    {
        OSMutexReadLocker reading(&table);  // shared: other readers may hold it too
        if (table.TryLockWrite() != EBUSY) return 1;
    }
    {
        OSMutexWriteLocker writing(&table);  // exclusive
        if (table.TryLockRead() != EBUSY) return 1;
    }
    //! [rwlock]
    return worker.Done() == 5050 ? 0 : 1;
}
