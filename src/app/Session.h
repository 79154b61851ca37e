#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TIdFTP;
class TIdFTPListItem;

// The FTP session behind the main window, free of widgets: the client, the
// batch loop that Disconnect can stop, and the guard that keeps a waiting
// network call's connection alive until the call has unwound. Everything runs
// on one thread; the re-entrancy comes from ProcessMessages, which runs other
// commands while one waits.
class TFtpSession {
public:
    TFtpSession();
    virtual ~TFtpSession();
    TFtpSession(const TFtpSession&) = delete;
    TFtpSession& operator=(const TFtpSession&) = delete;

    std::unique_ptr<TIdFTP> sckFTP;
    bool Busy = false;
    bool CancelRequested = false;

    // Marks a command that may wait on the network. While one is on the
    // stack, ending the session must not free the connection the waiting call
    // is using: it only closes the sockets (the call then fails with the usual
    // closed-connection errors), and the freeing happens when the outermost
    // such command unwinds.
    class TNetworkScope {
    public:
        explicit TNetworkScope(TFtpSession& AOwner);
        ~TNetworkScope();
        TNetworkScope(const TNetworkScope&) = delete;
        TNetworkScope& operator=(const TNetworkScope&) = delete;
        // True once the session this command started in was ended (by
        // Disconnect, closing the window, a time limit or a lost connection);
        // the command must then leave the panes alone.
        bool Interrupted() const;

    private:
        TFtpSession& FOwner;
        uint64_t FSession;
    };

    // False while a command waits on the network below us: the control
    // connection carries one exchange at a time, and a second command would
    // steal the first one's replies.
    bool CanStartCommand() const { return FNetworkDepth == 0; }
    // Disconnect: a running batch loop is asked to stop (and its transfer
    // aborted), otherwise the session ends now.
    void Disconnect();
    // Ends the session the running commands started in. AHeldByCaller:
    // network scopes the caller itself holds.
    void Interrupt(int AHeldByCaller);
    // The connection is gone: a running batch stops after its row.
    void ConnectionLost();
    // Runs AWork for rows 1..ACount, processing messages after each; stops
    // when Disconnect asked for it and ends the session. Returns false then.
    // The caller holds a network scope for the whole loop.
    bool RunBatchLoop(int32_t ACount, const std::function<void(int32_t AIndex)>& AWork);
    // True once after a batch loop that Disconnect stopped.
    bool TakeCancel();
    // Parses the listing the client received a slice at a time, handing every
    // entry to AEntry; ABreathe runs between slices and every 256 entries, and
    // false from it stops (the result is then false).
    bool ParseListing(const std::function<void(TIdFTPListItem&)>& AEntry,
                      const std::function<bool()>& ABreathe);

    // Whether the FTP client holds an open control connection.
    virtual bool SessionConnected() const;

    // Set when the last command ended: the next network call is the first
    // after a time the session may have spent idle.
    bool IdleSinceLastCommand = false;

protected:
    virtual void ProcessMessages() {}
    // Set while an unexpected error is being reported.
    bool FHandlingError = false;

private:
    void EndSessionNow(int AHeldByCaller);
    int FNetworkDepth = 0;
    uint64_t FSession = 0;
    bool FEndSessionPending = false;
};
