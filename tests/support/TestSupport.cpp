#include "support/TestSupport.h"

#include <mutex>
#include <thread>

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

size_t AssertRecorder::Count() {
    std::lock_guard<std::mutex> lock(sRecordedMutex);
    return sRecorded.size();
}

bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
