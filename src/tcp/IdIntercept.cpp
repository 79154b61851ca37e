#include "IdIntercept.h"

TIdConnectionIntercept::~TIdConnectionIntercept() = default;

void TIdConnectionIntercept::SetChained(TIdConnectionIntercept* AValue) {
    if (AValue == FChained) {
        return;
    }
    // Free-notification links are shared by both sides, so an old link stays:
    // the other side may still rely on it, and Notification compares pointers.
    FChained = AValue;
    if (FChained) {
        FreeNotification(FChained);
    }
}

void TIdConnectionIntercept::Attach(TIdBaseComponent* AConnection) {
    FAttachedTo = AConnection;
    // A connection destroyed while attached must not leave a dangling reference.
    FreeNotification(FAttachedTo);
    if (OnConnect) {
        OnConnect(this);
    }
    ChainConnect(AConnection);
}

void TIdConnectionIntercept::Detach() {
    ChainDisconnect();
    if (OnDisconnect) {
        OnDisconnect(this);
    }
    FAttachedTo = nullptr;
}

void TIdConnectionIntercept::FilterReceived(TIdStream& AStream) {
    ChainReceive(AStream);
    if (OnReceive) {
        OnReceive(this, AStream);
        AStream.SetPosition(0);
    }
}

void TIdConnectionIntercept::FilterOutgoing(TIdStream& AStream) {
    if (OnSend) {
        OnSend(this, AStream);
        AStream.SetPosition(0);
    }
    ChainSend(AStream);
}

void TIdConnectionIntercept::ChainConnect(TIdBaseComponent* AConnection) {
    if (FChained) {
        FChained->Attach(AConnection);
    }
}

void TIdConnectionIntercept::ChainDisconnect() {
    if (FChained) {
        FChained->Detach();
    }
}

void TIdConnectionIntercept::ChainReceive(TIdStream& AStream) {
    if (FChained) {
        FChained->FilterReceived(AStream);
    }
}

void TIdConnectionIntercept::ChainSend(TIdStream& AStream) {
    if (FChained) {
        FChained->FilterOutgoing(AStream);
    }
}

void TIdConnectionIntercept::Notification(TIdBaseComponent* AComponent, TOperation Operation) {
    TIdBaseComponent::Notification(AComponent, Operation);
    if (Operation != TOperation::opRemove) {
        return;
    }
    if (AComponent == FChained) {
        FChained = nullptr;
    }
    if (AComponent == FAttachedTo) {
        FAttachedTo = nullptr;
    }
}
