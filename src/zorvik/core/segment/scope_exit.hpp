// Runs a clean-up on every path out of a scope unless it is dismissed: for
// undoing a step when a later one throws, written once instead of in every
// catch block.
#pragma once

#include <utility>

namespace zorvik {

template <class CleanUp>
class ScopeExit {
public:
    explicit ScopeExit(CleanUp clean_up) : clean_up_(std::move(clean_up)) {}
    ~ScopeExit() {
        if (armed_) clean_up_();
    }
    ScopeExit(const ScopeExit &) = delete;
    ScopeExit &operator=(const ScopeExit &) = delete;

    // The step succeeded: nothing to undo.
    void dismiss() { armed_ = false; }

private:
    CleanUp clean_up_;
    bool armed_ = true;
};

}  // namespace zorvik
