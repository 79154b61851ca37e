#pragma once

// Placeholder: the socket stack is being written; only the lifetime hooks the
// component layer calls are declared here.
class TIdStack {
public:
    virtual ~TIdStack() = default;
    static void CreateTheStack();
    static void FreeTheStack();
};

extern TIdStack* TheStack;
