#pragma once

// A scripted FTP server on its own thread, on 127.0.0.1:<ephemeral>, for what
// real servers will not do: odd greetings, chosen replies per command
// (multi-line, malformed, split into chosen TCP segments, delayed), 426/450
// after a transfer, early closes. It records every command line the client
// sent, byte for byte.
//
// Control connections are served one after another (the next is accepted when
// the client closes the previous one). Unscripted commands get sane default
// replies, and PASV/PORT/RETR/LIST/NLST/STOR/APPE/STOU/REST/ABOR really work:
//   PASV  listens on 127.0.0.1:<ephemeral> and answers
//         "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)." naming the
//         advertised host (setAdvertisedHost, e.g. a foreign address) while
//         actually listening on 127.0.0.1. A scripted PASV reply still opens
//         the listener; write {p1}, {p2}, {port} and {h} (the advertised host
//         with commas) into it to name the real port.
//   EPSV  opens the listener as PASV does but answers 500 unless scripted
//         ("229 (|||{port}|)").
//   PORT  remembers the address; the transfer connects to it.
//   RETR  sends the file set with setFile (550 when unknown), from the REST
//         offset; LIST/NLST send setListing/setNameList; STOR/APPE/STOU
//         receive into uploads().
//   ABOR  while a transfer runs, or a client that drops the data connection,
//         breaks the transfer: the server closes the data connection, sends
//         the broken-transfer reply ("426 ..." by default) and then answers
//         ABOR ("226 ..." by default) as it answers any other command.
//   QUIT  "221 Goodbye." and the control connection is closed.
// Everything else answers per verb (USER 331, PASS 230, TYPE 200, SYST 215,
// PWD 257, CWD 250, MKD 257, RMD/DELE 250, SITE/OPEN/NOOP 200) and 500 for
// unknown verbs.

#include "BytePattern.h"
#include "TestSockets.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qtest {

// Download bytes produced on demand, so transfers above 2 GiB need no memory.
struct Payload {
    uint64_t size = 0;
    // Fills out[0..len) with the bytes at [offset, offset + len).
    std::function<void(uint64_t offset, char* out, size_t len)> fill;

    static Payload Bytes(std::string bytes);
    // size bytes of PatternByte(0), PatternByte(1), ...
    static Payload Pattern(uint64_t size);
};

// One step of the server's answer to a command.
struct FtpAction {
    enum class Kind { Send, Delay, OpenData, SendData, ReceiveData, CloseData, CloseControl };
    Kind kind = Kind::Send;
    std::string bytes;              // Send: raw bytes written with one send()
    Millis delay{0};                // Delay
    std::optional<Payload> payload; // SendData: none = the command's file/listing
    uint64_t limit = UINT64_MAX;    // SendData/ReceiveData: stop after this many bytes
    bool reset = false;             // CloseData/CloseControl: RST instead of FIN
};
using FtpScript = std::vector<FtpAction>;

// Builders for scripts: {act::Reply("150 Here it comes"), act::OpenData(), ...}.
namespace act {
FtpAction Send(std::string raw);          // exactly these bytes
FtpAction Reply(const std::string& line); // the line + CR LF
FtpAction Delay(Millis delay);
FtpAction OpenData(); // accept the PASV connection or connect to PORT
FtpAction SendData(uint64_t limit = UINT64_MAX);
FtpAction SendData(Payload payload, uint64_t limit = UINT64_MAX);
FtpAction ReceiveData(uint64_t limit = UINT64_MAX); // then the server stops reading
FtpAction CloseData(bool reset = false);
FtpAction CloseControl(bool reset = false);
// raw cut into pieces of the given sizes (the rest in a last piece), a gap
// between pieces so each tends to arrive in its own TCP segment.
FtpScript SendInPieces(const std::string& raw, const std::vector<size_t>& sizes,
                       Millis gap = Millis(20));
FtpScript SendBytewise(const std::string& raw, Millis gap = Millis(2));
// A whole download: preliminary reply, data (all or `limit` bytes), close, final bytes.
FtpScript Download(const std::string& finalRaw = "226 Transfer complete.\r\n",
                   uint64_t limit = UINT64_MAX,
                   const std::string& preliminary = "150 Opening BINARY mode data connection.");
// A whole upload: preliminary reply, receive (all or `limit` bytes), close, final bytes.
FtpScript Upload(const std::string& finalRaw = "226 Transfer complete.\r\n",
                 uint64_t limit = UINT64_MAX,
                 const std::string& preliminary = "150 Ok to send data.");
} // namespace act

class FakeFtpServer {
public:
    struct Upload {
        std::string command; // the command line, e.g. "STOR a b.txt"
        std::string name;    // its argument (generated for STOU)
        std::string bytes;   // what arrived on the data connection
    };

    FakeFtpServer();
    FakeFtpServer(const FakeFtpServer&) = delete;
    FakeFtpServer& operator=(const FakeFtpServer&) = delete;
    ~FakeFtpServer(); // stops the thread, closes every socket

    std::string host() const { return "127.0.0.1"; }
    uint16_t port() const { return port_; }

    // --- Script (thread-safe, may change while a client is connected) ---
    // Sent on every new control connection; an empty script withholds it.
    void setGreeting(FtpScript script);
    void setGreeting(const std::string& raw);
    void withholdGreeting() { setGreeting(FtpScript{}); }
    // Queues one answer for the next command with this verb (any letter case);
    // later ones take the next queued answer, then the sticky one, then the default.
    void enqueue(const std::string& verb, FtpScript script);
    void enqueue(const std::string& verb, const std::string& raw);
    // Answer for every command with this verb (until cleared).
    void setResponse(const std::string& verb, FtpScript script);
    void setResponse(const std::string& verb, const std::string& raw);
    void clearResponse(const std::string& verb);
    // The dotted address named in default 227 replies and {h}.
    void setAdvertisedHost(const std::string& dotted);
    void setFile(const std::string& name, Payload payload);
    void setFile(const std::string& name, std::string bytes);
    void setListing(std::string raw);  // LIST data
    void setNameList(std::string raw); // NLST data
    // Sent when ABOR or a dropped data connection breaks a transfer.
    void setBrokenTransferReply(std::string raw);
    // The longest wait for the client (data connect, accept); default 10 s.
    void setIoTimeout(Millis timeout);

    // --- Observations (thread-safe) ---
    // Every command line received, exact bytes without the line end.
    std::vector<std::string> commands() const;
    // Every byte received on control connections, line ends included.
    std::string rawInput() const;
    // Waits until at least `count` command lines have arrived.
    bool waitForCommands(size_t count, Millis timeout = Millis(10000)) const;
    // Waits until a command with this verb has arrived (any occurrence).
    bool waitForVerb(const std::string& verb, Millis timeout = Millis(10000)) const;
    std::vector<Upload> uploads() const;
    // Data bytes the server got written into the data connection (all transfers).
    uint64_t dataBytesSent() const;
    size_t connections() const;  // control connections accepted so far
    size_t clientCloses() const; // control connections the client closed
    bool waitForClientCloses(size_t count, Millis timeout = Millis(10000)) const;
    // Control connections that ended, closed by either side (QUIT included).
    size_t sessionsEnded() const;
    bool waitForSessionsEnded(size_t count, Millis timeout = Millis(10000)) const;
    // Surprises on the server's side (data connection never came, ...).
    std::vector<std::string> problems() const;

private:
    struct Session;
    void run();
    void serve(UniqueFd control);
    bool readControl(Session& s, Millis timeout);
    void handle(Session& s, const std::string& line);
    bool perform(Session& s, const std::string& verb, const std::string& arg,
                 const FtpScript& script);
    FtpScript defaultScript(Session& s, const std::string& verb, const std::string& arg);
    FtpScript pickScript(Session& s, const std::string& verb, const std::string& arg);
    bool sendControl(Session& s, const std::string& raw);
    bool openData(Session& s, Millis timeout);
    enum class DataResult { Done, Broken, ControlGone, Stopped };
    DataResult sendData(Session& s, const Payload& payload, uint64_t from, uint64_t limit);
    DataResult receiveData(Session& s, uint64_t limit);
    std::optional<DataResult> waitData(Session& s, short events, short& revents);
    bool watchControl(Session& s);
    std::string expand(const Session& s, const std::string& raw) const;
    void problem(const std::string& text);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    FtpScript greeting_;
    std::map<std::string, std::deque<FtpScript>> queued_;
    std::map<std::string, FtpScript> sticky_;
    std::map<std::string, Payload> files_;
    std::string listing_, nameList_;
    std::string advertisedHost_ = "127.0.0.1";
    std::string brokenReply_ = "426 Connection closed; transfer aborted.\r\n";
    Millis ioTimeout_{10000};
    std::vector<std::string> commands_;
    std::string rawInput_;
    std::vector<Upload> uploads_;
    std::vector<std::string> problems_;
    uint64_t dataBytesSent_ = 0;
    size_t connections_ = 0, clientCloses_ = 0, sessionsEnded_ = 0;
    unsigned stouCounter_ = 0;

    StopFlag stop_;
    UniqueFd listener_;
    uint16_t port_ = 0;
    std::thread thread_;
};

} // namespace qtest
