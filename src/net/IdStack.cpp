#include "IdStack.h"

TIdStack* TheStack = nullptr;

void TIdStack::CreateTheStack() { TheStack = new TIdStack; }

void TIdStack::FreeTheStack() {
    delete TheStack;
    TheStack = nullptr;
}
