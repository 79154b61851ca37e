"""A private pyftpdlib server for the Quorvan FTP tests.

Started by PyftpdlibServer with /usr/bin/python3; listens on 127.0.0.1 or ::1.
Readiness is detected by the caller connecting to the port, so nothing here
waits on stdout or a pipe.
"""

import hashlib
import logging
import os
import socket
import sys
import time
import zlib

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer, ThreadedFTPServer

# -I leaves this folder off sys.path; the shared options live beside us.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import ftpd_args  # noqa: E402


class ShortProducer:
    """Gives the bytes of another producer up to a limit, then says the
    file ended."""

    def __init__(self, producer, limit):
        self.producer, self.left = producer, limit

    def more(self):
        data = self.producer.more()[:self.left] if self.left > 0 else b""
        self.left -= len(data)
        return data


def main():
    parser = ftpd_args.parser("A private pyftpdlib server")
    parser.add_argument("--tls-cert", default="")
    parser.add_argument("--tls-key", default="")
    parser.add_argument("--tls-required", action="store_true")
    # Commands answered "502 Command not implemented." (a server without them).
    parser.add_argument("--refuse", action="append", default=[])
    # Extra lines of the FEAT list, e.g. the three-letter "CCC" of TLS servers.
    parser.add_argument("--feature", action="append", default=[])
    # A slow link: every reply and every data connection waits this long.
    # Each session then runs on a thread of its own, so that one session's
    # wait does not hold up the others.
    parser.add_argument("--delay-ms", type=int, default=0)
    # A broken link: the first --drops data connections end abruptly after
    # this many bytes (the server then answers 426), and the control
    # connection ends abruptly at the Nth command the server receives.
    parser.add_argument("--drop-data-after", type=int, default=-1)
    parser.add_argument("--drop-control-at", type=int, default=-1)
    parser.add_argument("--drops", type=int, default=1)
    # A narrow link: each data connection moves at most this many KiB per
    # second, in either direction.
    parser.add_argument("--rate-kib", type=int, default=0)
    # Seconds before an idle session is ended with 421.
    parser.add_argument("--idle-timeout", type=int, default=0)
    # A server that loses data and says 226: RETR sends only this many
    # bytes, STOR keeps only this many.
    parser.add_argument("--short-transfers", type=int, default=-1)
    # HASH (with OPTS HASH) and XSHA256, listed in FEAT; --hash-lie answers
    # a digest of other bytes.
    parser.add_argument("--hash", action="store_true")
    parser.add_argument("--hash-lie", action="store_true")
    # Sessions from one address beyond this many are refused with 421.
    parser.add_argument("--max-cons-per-ip", type=int, default=0)
    args = parser.parse_args()

    logging.basicConfig(stream=sys.stderr, level=logging.INFO,
                        format="%(asctime)s %(message)s")

    authorizer = DummyAuthorizer()
    # Every permission: list, change dir, retrieve, append, delete, rename,
    # mkdir, store, chmod, mtime.
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    if args.anonymous:
        authorizer.add_anonymous(args.root, perm="elr")

    base = FTPHandler
    if args.tls_cert:
        # Needs pyOpenSSL (Debian python3-openssl); imported only for TLS.
        from pyftpdlib.handlers import TLS_FTPHandler
        base = TLS_FTPHandler

    class Handler(base):
        pass

    if args.tls_cert:
        # For the TLS tests: a download of "truncated.bin" and the control
        # connection after "SITE CUT" end with a bare TCP close, no close_notify.
        class TruncatingDTP(Handler.dtp_handler):
            sent = 0

            def send(self, data):
                n = super().send(data)
                self.sent += max(n, 0)
                name = os.path.basename(str(getattr(self.file_obj, "name", "")))
                if name == "truncated.bin" and self.sent >= 65536:
                    self.socket.sock_shutdown(socket.SHUT_RDWR)
                return n

        Handler.dtp_handler = TruncatingDTP
        Handler.ftp_SITE_CUT = lambda self, line: self.socket.sock_shutdown(socket.SHUT_RDWR)
        Handler.proto_cmds = dict(Handler.proto_cmds, **{"SITE CUT": dict(
            perm=None, auth=True, arg=False, help="Syntax: SITE CUT")})

        Handler.certfile = args.tls_cert
        Handler.keyfile = args.tls_key
        Handler.tls_control_required = args.tls_required
        Handler.tls_data_required = args.tls_required

    delay = args.delay_ms / 1000.0
    drops = {"data": args.drops, "control": args.drops, "commands": 0}
    if delay > 0:
        def respond(self, resp, logfun=logging.debug, _base=Handler.respond):
            time.sleep(delay)
            _base(self, resp, logfun)
        Handler.respond = respond

    if args.rate_kib > 0:
        rate = args.rate_kib * 1024.0

        # Paced from the first byte on, so the rate holds for a transfer of
        # any length: pyftpdlib's ThrottledDTPHandler lets the first two
        # seconds' worth through at once, which makes a half transfer look
        # faster than half a whole one. Each pause takes the channel off the
        # loop, so other sessions go on; the bytes are counted in send() and
        # recv(), which hold the TLS layer beneath them.
        class NarrowDTP(Handler.dtp_handler):
            def __init__(self, sock, cmd_channel):
                self.paced, self.pace_start, self.pacer = 0, None, None
                super().__init__(sock, cmd_channel)

            def use_sendfile(self):
                return False

            def pace(self, n):
                now = time.monotonic()
                if self.pace_start is None:
                    self.pace_start = now
                self.paced += max(n, 0)
                wait = self.pace_start + self.paced / rate - now
                if wait <= 0.001 or self._closed:
                    return

                def go_on():
                    self.pacer = None
                    if not self._closed:
                        self.add_channel(
                            events=self.ioloop.READ if self.receive else self.ioloop.WRITE)

                self.del_channel()
                if self.pacer is not None:
                    self.pacer.cancel()
                self.pacer = self.ioloop.call_later(wait, go_on, _errback=self.handle_error)

            def send(self, data):
                n = super().send(data)
                self.pace(n)
                return n

            def recv(self, buffer_size):
                chunk = super().recv(buffer_size)
                self.pace(len(chunk))
                return chunk

            def close(self):
                if self.pacer is not None:
                    self.pacer.cancel()
                    self.pacer = None
                super().close()

        Handler.dtp_handler = NarrowDTP

    if delay > 0 or args.drop_data_after >= 0 or args.short_transfers >= 0:
        # Bytes must pass through send() to be counted.
        Handler.use_sendfile = False
        base_dtp = Handler.dtp_handler

        class FaultyDTP(base_dtp):
            def __init__(self, sock, cmd_channel):
                self.passed = 0  # bytes on the wire, either way
                self.kept = 0    # bytes of an upload written to the file
                if delay > 0:
                    time.sleep(delay)
                super().__init__(sock, cmd_channel)

            def count(self, n):
                self.passed += max(n, 0)
                if (args.drop_data_after >= 0 and drops["data"] > 0 and not self._closed
                        and self.passed >= args.drop_data_after):
                    drops["data"] -= 1
                    # With no close_notify under TLS the client sees a
                    # broken transfer, not the end of the file.
                    self._error = True
                    self._resp = ("426 Connection closed; transfer aborted.", logging.debug)
                    self.transfer_finished = False
                    self.close()

            # The file "ends" at the limit, as far as the client can tell:
            # the producer runs dry, and the end is a proper one (226, and
            # close_notify under TLS).
            def push_with_producer(self, producer):
                if args.short_transfers >= 0:
                    producer = ShortProducer(producer, args.short_transfers)
                super().push_with_producer(producer)

            def enable_receiving(self, type, cmd):
                super().enable_receiving(type, cmd)
                if args.short_transfers >= 0:
                    # What arrives past the limit is read and thrown away.
                    inner = self._data_wrapper

                    def keep(chunk):
                        chunk = inner(chunk) if inner else chunk
                        chunk = chunk[:max(args.short_transfers - self.kept, 0)]
                        self.kept += len(chunk)
                        return chunk

                    self._data_wrapper = keep

            def send(self, data):
                n = super().send(data)
                self.count(n)
                return n

            # pyftpdlib binds handle_read_event straight to the plain read;
            # the TLS handler's own (handshake first) must stay in the chain.
            def handle_read_event(self):
                before = self.tot_bytes_received
                super().handle_read_event()
                self.count(self.tot_bytes_received - before)

        Handler.dtp_handler = FaultyDTP

    if args.drop_control_at >= 0:
        def pre_process_command(self, line, cmd, arg, _base=Handler.pre_process_command):
            drops["commands"] += 1
            if drops["control"] > 0 and drops["commands"] >= args.drop_control_at:
                drops["control"] -= 1
                drops["commands"] = 0
                self._error = True  # under TLS, no close_notify either
                self.close()
                return
            _base(self, line, cmd, arg)
        Handler.pre_process_command = pre_process_command

    if args.idle_timeout > 0:
        # pyftpdlib's own idle timer is reset by more than commands; this one
        # counts from the last command line and spares a running transfer.
        def __init__(self, *a, _base=Handler.__init__, **k):
            _base(self, *a, **k)
            self.last_seen = time.monotonic()

            def check():
                if getattr(self, "_closed", False) or not self.connected:
                    task.cancel()
                elif (self.data_channel is None
                        and time.monotonic() - self.last_seen > args.idle_timeout):
                    task.cancel()
                    self.respond("421 Control connection timed out.", logfun=logging.info)
                    self.close_when_done()

            task = self.ioloop.call_every(0.2, check)

        def found_terminator(self, _base=Handler.found_terminator):
            self.last_seen = time.monotonic()
            _base(self)

        Handler.__init__ = __init__
        Handler.found_terminator = found_terminator

    if args.hash:
        algorithms = {"SHA-256": hashlib.sha256, "SHA-1": hashlib.sha1,
                      "MD5": hashlib.md5, "CRC32": None}

        # The argument comes as a path in the file system already.
        def digest(self, path, name):
            if not self.fs.isfile(path):
                self.respond("550 %s is not a file." % self.fs.fs2ftp(path))
                return None
            crc, digest_, size = 0, None if name == "CRC32" else algorithms[name](), 0
            with open(path, "rb") as f:
                for chunk in iter(lambda: f.read(1 << 20), b""):
                    size += len(chunk)
                    if digest_ is None:
                        crc = zlib.crc32(chunk, crc)
                    else:
                        digest_.update(chunk)
            if args.hash_lie:
                crc = zlib.crc32(b"!", crc)
                if digest_ is not None:
                    digest_.update(b"!")
            if digest_ is None:
                return "%08x" % (crc & 0xFFFFFFFF), size
            return digest_.hexdigest(), size

        def ftp_HASH(self, path):
            name = getattr(self, "hash_name", "SHA-256")
            result = digest(self, path, name)
            if result:
                self.respond("213 %s 0-%d %s %s" % (name, max(result[1] - 1, 0), result[0],
                                                    self.fs.fs2ftp(path)))

        def ftp_XSHA256(self, path):
            result = digest(self, path, "SHA-256")
            if result:
                self.respond("250 %s" % result[0])

        def ftp_OPTS(self, line, _base=Handler.ftp_OPTS):
            parts = line.split(" ")
            if parts[0].upper() != "HASH":
                return _base(self, line)
            if len(parts) == 2 and parts[1].upper() in algorithms:
                self.hash_name = parts[1].upper()
                self.respond("200 %s" % self.hash_name)
            else:
                self.respond("501 Unknown algorithm.")

        def __init__(self, *a, _base=Handler.__init__, **k):
            _base(self, *a, **k)
            self._extra_feats = self._extra_feats + ["HASH SHA-256*;SHA-1;MD5;CRC32",
                                                     "XSHA256"]

        Handler.__init__ = __init__
        Handler.ftp_HASH = ftp_HASH
        Handler.ftp_XSHA256 = ftp_XSHA256
        Handler.ftp_OPTS = ftp_OPTS
        Handler.proto_cmds = dict(Handler.proto_cmds, **{
            "HASH": dict(perm="r", auth=True, arg=True, help="Syntax: HASH <SP> file-name"),
            "XSHA256": dict(perm="r", auth=True, arg=True, help="Syntax: XSHA256 <SP> file-name"),
        })

    for verb in args.refuse:
        setattr(Handler, "ftp_" + verb.upper(),
                lambda self, *_, verb=verb: self.respond("502 %s not implemented." % verb))

    Handler.authorizer = authorizer
    # Wrong passwords must fail at once, not after pyftpdlib's default pause.
    Handler.auth_failed_timeout = 0
    if args.feature:
        # pyftpdlib sets the list per connection.
        def init(self, *a, init=Handler.__init__, **k):
            init(self, *a, **k)
            self._extra_feats = self._extra_feats + args.feature

        Handler.__init__ = init
    if args.banner:
        # "|" separates lines; a banner of more than 75 characters goes out as
        # "220-<banner>" with its lines as they are, then "220 ".
        Handler.banner = args.banner.replace("|", "\r\n")

    server_class = ThreadedFTPServer if delay > 0 else FTPServer
    server = server_class((args.address, args.port), Handler)
    server.max_cons = 256
    server.max_cons_per_ip = args.max_cons_per_ip
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
