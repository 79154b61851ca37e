#pragma once

#include "IdComponent.h"
#include "IdStream.h"

#include <functional>

class TIdConnectionIntercept;

using TIdInterceptNotifyEvent = std::function<void(TIdConnectionIntercept* ASender)>;
using TIdInterceptStreamEvent =
    std::function<void(TIdConnectionIntercept* ASender, TIdStream& AStream)>;

// A filter a connection passes every received chunk and outgoing block
// through. In a chain A -> B (A attached to the connection, B chained to A)
// received bytes pass B then A and outgoing bytes A then B, so each intercept
// undoes on the way in what it did on the way out.
class TIdConnectionIntercept : public TIdBaseComponent {
public:
    TIdConnectionIntercept() = default;
    ~TIdConnectionIntercept() override;

    TIdInterceptNotifyEvent OnConnect;
    TIdInterceptNotifyEvent OnDisconnect;
    TIdInterceptStreamEvent OnReceive;
    TIdInterceptStreamEvent OnSend;

    TIdBaseComponent* AttachedTo() const { return FAttachedTo; }
    // Not owned; cleared when the chained intercept is destroyed.
    TIdConnectionIntercept* Chained() const { return FChained; }
    void SetChained(TIdConnectionIntercept* AValue);

    virtual void Attach(TIdBaseComponent* AConnection);
    virtual void Detach();
    // The stream is positioned at 0; handlers may change content and size.
    virtual void FilterReceived(TIdStream& AStream);
    virtual void FilterOutgoing(TIdStream& AStream);

protected:
    virtual void ChainConnect(TIdBaseComponent* AConnection);
    virtual void ChainDisconnect();
    virtual void ChainReceive(TIdStream& AStream);
    virtual void ChainSend(TIdStream& AStream);

    void Notification(TIdBaseComponent* AComponent, TOperation Operation) override;

private:
    TIdBaseComponent* FAttachedTo = nullptr;
    TIdConnectionIntercept* FChained = nullptr;
};
