// Groups of helper threads, and a clean-up that runs before they are joined.
#pragma once

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

// `count` helper threads running body(index), each joined on scope exit as BoundedThread is.
class BoundedThreads {
public:
    BoundedThreads(int count, const std::function<void(int)>& body) {
        for (int index = 0; index < count; ++index)
            fThreads.push_back(std::make_unique<BoundedThread>([body, index] { body(index); }));
    }

private:
    std::vector<std::unique_ptr<BoundedThread>> fThreads;
};

// Runs an action when the scope ends. Declared after helper threads, it runs before they
// are joined: the place to release whatever a failed check left them waiting for.
class OnScopeExit {
public:
    explicit OnScopeExit(std::function<void()> action) : fAction(std::move(action)) {}
    ~OnScopeExit() { fAction(); }
    OnScopeExit(const OnScopeExit&) = delete;
    OnScopeExit& operator=(const OnScopeExit&) = delete;

private:
    std::function<void()> fAction;
};
