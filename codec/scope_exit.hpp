// The codec's one scope guard: runs an action however the scope is left.
#pragma once

#include <utility>

namespace velora {

template <class Action> class ScopeExit {
public:
    explicit ScopeExit(Action action) : FAction(std::move(action)) {}
    ~ScopeExit() { FAction(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Action FAction;
};

} // namespace velora
