#pragma once

#include "IdBuffer.h"
#include "IdComponent.h"
#include "IdIOHandler.h"
#include "IdIntercept.h"
#include "IdRFCReply.h"
#include "IdStream.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

class TIdIOHandlerSocket;
class TIdIOHandlerTls;
class TIdTCPConnection;

enum TIdMaxLineAction { maException = 0, maSplit = 1 };

using TIdNotifyEvent = std::function<void(TIdComponent* Sender)>;

// Raises an exception of a chosen class with the given message; pass
// &RaiseAs<EIdSomething> where a reply error of another class is wanted.
using TIdExceptionClass = void (*)(const std::string& AMessage);
template <class E> [[noreturn]] void RaiseAs(const std::string& AMessage) {
    throw E(AMessage);
}

// The blocking, buffered byte connection every protocol exchange runs on.
// Timeouts are milliseconds: -1 is the default (ReadTimeout, where 0 means no
// limit), -2 is no limit.
class TIdTCPConnection : public TIdComponent {
public:
    TIdTCPConnection();
    ~TIdTCPConnection() override;

    // Settings.
    bool ASCIIFilter = false;
    TIdMaxLineAction MaxLineAction = maException;
    int32_t MaxLineLength = 16384; // terminator not counted; 0 means no limit
    int32_t ReadTimeout = 0;       // 0 means no limit
    int32_t RecvBufferSize = 32768;
    int32_t SendBufferSize = 32768;
    TIdNotifyEvent OnDisconnected;

    // State.
    bool PeerClosed = false;
    bool LineWasSplit = false;
    bool LineIncomplete = false;

    TIdRFCReply& GreetingReply() { return FGreetingReply; }
    TIdRFCReply& LastReply() { return FLastReply; }
    // The last reply's lines as received. LastReply's text cuts four
    // characters off every line, which loses the start of lines that carry
    // no code (FEAT lists its features that way).
    const std::vector<std::string>& LastReplyLines() const { return FLastReplyLines; }
    TIdManagedBuffer& ReceivedData() { return *FReceivedData; }
    TIdSimpleBuffer& RecvChunk() { return *FRecvChunk; }

    // An assigned handler or intercept is not owned; the reference is cleared
    // when that object is destroyed.
    TIdIOHandler* IOHandler() const { return FIOHandler; }
    void SetIOHandler(TIdIOHandler* AValue);
    // Sets a handler the connection created itself and destroys with
    // CloseConnection, its own destruction, or when another handler is set.
    void SetOwnedIOHandler(std::unique_ptr<TIdIOHandler> AValue);
    bool OwnsIOHandler() const { return FOwnedIOHandler != nullptr; }
    // Puts ATls over the open connection's handler in place (explicit TLS):
    // the handler becomes ATls's transport, owned by it when the connection
    // owned it, the socket stays open, and the handshake runs. Received bytes
    // not yet read are refused (EIdTlsHandshakeError): they came in clear
    // after the request to start TLS.
    void WrapIOHandler(std::unique_ptr<TIdIOHandlerTls> ATls);
    // Once that connection is closed, the handler beneath the TLS layer is the
    // connection's again (owned if it was), so the next connection starts in
    // clear instead of shaking hands from its first byte.
    void UnwrapIOHandler();
    // The I/O handler when it is a socket handler, otherwise none.
    TIdIOHandlerSocket* SocketHandler() const { return FSocketHandler; }
    // The socket handler unit registers how to recognise its handlers, so that
    // this unit does not depend on it.
    static inline TIdIOHandlerSocket* (*SocketHandlerOf)(TIdIOHandler* AHandler) = nullptr;

    TIdConnectionIntercept* Intercept() const { return FIntercept; }
    void SetIntercept(TIdConnectionIntercept* AValue);

    // Connection state.
    virtual void NotifyDisconnected();
    virtual void ResetReadState();
    virtual std::string ReadUntilClosed();
    virtual void CheckClosed(bool ARaiseIfClosed, bool AIgnoreReceivedData);
    virtual void ProbeClosed(bool ARaiseIfClosed);

    // Replies. Codes are compared and returned as signed 16-bit values.
    virtual int16_t CheckReplyCode(int16_t ACode, const TIdReplyCodes& AAllowed);
    virtual bool IsConnected();
    virtual void CloseConnection();
    virtual void DropSocket();
    virtual int16_t GetReply(const TIdReplyCodes& AAllowed);
    [[noreturn]] virtual void RaiseReplyError();
    [[noreturn]] virtual void RaiseReplyError(TIdExceptionClass AClass);

    // Reading. ReceiveMore returns the bytes added to ReceivedData, 0, or -1
    // for an expired wait.
    virtual int32_t ReceiveMore(bool ARaiseIfClosed, int32_t ATimeout, bool ARaiseOnTimeout);
    // An empty terminator means LF; a CR before an LF terminator is dropped.
    // AMaxLength -1 means MaxLineLength.
    // An explicit timeout that expires ends the call with an empty result and
    // LineIncomplete set, leaving the partial line buffered.
    virtual std::string ReadLine(const std::string& ATerminator = std::string(),
                                 int32_t ATimeout = -1, int32_t AMaxLength = -1);

    // Sends the command line and reads its reply. A command containing CR or
    // LF is refused with EIdException before anything is sent.
    virtual int16_t SendCommand(const std::string& ACommand, const TIdReplyCodes& AAllowed);
    // -1 accepts every reply; any other code is the only one accepted.
    int16_t SendCommand(const std::string& ACommand, int16_t AResponse = -1);
    // Lets SendCommand(cmd, {}) and SendCommand(cmd, {230, 331}) mean the lists.
    int16_t SendCommand(const std::string& ACommand, std::initializer_list<int16_t> AAllowed) {
        return SendCommand(ACommand, TIdReplyCodes(AAllowed));
    }

    // Refuses a command text that would split into two lines on the wire.
    static void CheckCommandText(const std::string& ACommand);

    // Writing.
    virtual void WriteText(const std::string& AText);
    virtual void WriteLine(const std::string& AText);
    // Sends the rest of AStream from its position (or from 0), up to ASize
    // bytes when ASize is not 0, optionally preceded by a 4-byte big-endian count.
    virtual void SendStream(TIdStream& AStream, bool AFromStart = true,
                            bool AWriteSizePrefix = false, int64_t ASize = 0);
    // Returns the number of bytes sent.
    virtual int64_t SendFile(const std::string& AFileName, bool AAllowKernelTransfer = true);

    std::string ReadNonEmptyLine(int32_t AAttempts);
    void ReadBytes(void* ADestination, int32_t ACount);
    int32_t ReadInt32(bool AConvert = true);
    std::string TakeAvailable();
    void ReadReply();

    void WriteBytes(const void* ASource, int32_t ACount);
    void WriteInt32(int32_t AValue, bool AConvert = true);
    // ACount -1 without AUntilClosed reads a 4-byte big-endian count first.
    // Until closed there is no count limit.
    void ReceiveStream(TIdStream& AStream, int64_t ACount = -1, bool AUntilClosed = true);
    static void ReserveStreamSize(TIdStream& AStream, int64_t ASize);

protected:
    void Notification(TIdBaseComponent* AComponent, TOperation Operation) override;

    // Marks a call that may wait on the I/O handler. While one runs, the
    // anti-freeze lets window handlers in, and one of them may close the
    // connection or replace its handler: the owned handler is then shut at
    // once but destroyed only when the outermost such call has unwound, so
    // that the wait finds a closed socket instead of freed memory.
    class THandlerInUse {
    public:
        explicit THandlerInUse(TIdTCPConnection& AConnection);
        ~THandlerInUse();
        THandlerInUse(const THandlerInUse&) = delete;
        THandlerInUse& operator=(const THandlerInUse&) = delete;

    private:
        TIdTCPConnection& FConnection;
    };

private:
    void DestroyOwnedIOHandler();
    int32_t EffectiveTimeout(int32_t ATimeout) const;
    int32_t ReceiveOnce();
    // One receive of what is there already; false when the step must wait.
    bool ReceiveReady(int32_t& AResult);
    // Takes in the n bytes one receive left at ATarget (the scratch chunk or
    // the tail of the received data) and returns the count added.
    int32_t TakeReceived(char* ATarget, int32_t AResult);
    // WriteBytes with work events per AStep bytes at most.
    void WriteBytesInSteps(const void* ASource, int32_t ACount, int32_t AStep);
    void SendAll(const char* AData, int32_t ACount, int32_t AStep);
    // The socket stack's result check: true when AResult is -1 and the last
    // socket error is one of AIgnored (stored in ACode); raises otherwise.
    static bool CheckSocketResult(int32_t AResult, std::initializer_list<int32_t> AIgnored,
                                  int32_t& ACode);
    [[noreturn]] static void RaiseSocketFailure(int32_t ACode);

    TIdRFCReply FGreetingReply;
    TIdRFCReply FLastReply;
    std::vector<std::string> FLastReplyLines;
    std::unique_ptr<TIdManagedBuffer> FReceivedData;
    std::unique_ptr<TIdSimpleBuffer> FRecvChunk;
    TIdIOHandler* FIOHandler = nullptr;
    std::unique_ptr<TIdIOHandler> FOwnedIOHandler;
    int32_t FHandlerUsers = 0;
    std::vector<std::unique_ptr<TIdIOHandler>> FRetiredIOHandlers;
    TIdIOHandlerSocket* FSocketHandler = nullptr;
    // The owned handler is a TLS layer WrapIOHandler put over another.
    bool FWrapped = false;
    TIdConnectionIntercept* FIntercept = nullptr;
};
