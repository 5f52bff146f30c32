#include "support/TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {
std::mutex sRecordedMutex;
std::vector<std::string> sRecorded;
}  // namespace

AssertRecorder& AssertRecorder::Instance() {
    static AssertRecorder instance;
    return instance;
}

void AssertRecorder::LogAssert(const char* text) {
    std::lock_guard<std::mutex> lock(sRecordedMutex);
    sRecorded.emplace_back(text);
}

std::vector<std::string> AssertRecorder::Take() {
    std::lock_guard<std::mutex> lock(sRecordedMutex);
    std::vector<std::string> texts;
    texts.swap(sRecorded);
    return texts;
}

std::string AssertText(const char* source, int line) {
    return "_Assert: " + std::string(source) + ", " + std::to_string(line);
}

std::string AssertText(const char* source, int line, int32_t value) {
    return "_AssertV: " + std::string(source) + ", " + std::to_string(line) + " (" +
           std::to_string(value) + ")";
}

bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool StaysFalseFor(const std::function<bool()>& predicate, std::chrono::milliseconds window) {
    return !WaitUntil(predicate, window);
}

bool UnderQemuUserEmulation() {
    const char* announced = std::getenv("CU_QEMU_USER");
    return announced != nullptr && std::strcmp(announced, "1") == 0;
}

BoundedThread::BoundedThread(std::function<void()> body)
    : fThread([this, body = std::move(body)] {
          body();
          fFinished.store(true);
      }) {}

void BoundedThread::Join(std::chrono::milliseconds limit) {
    if (!fThread.joinable()) return;
    if (!WaitUntil([this] { return Finished(); }, limit)) {
        std::fprintf(stderr, "a helper thread did not end within %lld ms: giving up\n",
                     (long long)limit.count());
        std::fflush(stderr);
        std::_Exit(1);
    }
    fThread.join();
}
