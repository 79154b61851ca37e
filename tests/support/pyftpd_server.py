"""A private pyftpdlib server for the Quorvan FTP tests.

Started by PyftpdlibServer with /usr/bin/python3; listens on 127.0.0.1 or ::1.
Readiness is detected by the caller connecting to the port, so nothing here
waits on stdout or a pipe.
"""

import argparse
import logging
import os
import socket
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--anonymous", action="store_true")
    parser.add_argument("--banner", default="")
    parser.add_argument("--tls-cert", default="")
    parser.add_argument("--tls-key", default="")
    parser.add_argument("--tls-required", action="store_true")
    parser.add_argument("--address", default="127.0.0.1")
    # Commands answered "502 Command not implemented." (a server without them).
    parser.add_argument("--refuse", action="append", default=[])
    # Extra lines of the FEAT list, e.g. the three-letter "CCC" of TLS servers.
    parser.add_argument("--feature", action="append", default=[])
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

    server = FTPServer((args.address, args.port), Handler)
    server.max_cons = 256
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
