"""A private pyftpdlib server for the Quorvan FTP tests.

Started by PyftpdlibServer with /usr/bin/python3; listens on 127.0.0.1 only.
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
        # Hostile behaviour for the TLS tests: a download of a file named
        # "truncated.bin" and the control connection after "SITE CUT" end
        # with a bare TCP close, without TLS's close_notify.
        class TruncatingDTP(Handler.dtp_handler):
            sent = 0

            def send(self, data):
                n = super().send(data)
                name = getattr(self.file_obj, "name", "")
                if os.path.basename(str(name)) == "truncated.bin":
                    self.sent += n
                    if self.sent >= 65536:
                        self.socket.sock_shutdown(socket.SHUT_RDWR)
                return n

        def ftp_SITE_CUT(self, line):
            self.socket.sock_shutdown(socket.SHUT_RDWR)

        Handler.dtp_handler = TruncatingDTP
        Handler.ftp_SITE_CUT = ftp_SITE_CUT
        Handler.proto_cmds = dict(Handler.proto_cmds)
        Handler.proto_cmds["SITE CUT"] = dict(
            perm=None, auth=True, arg=False, help="Syntax: SITE CUT")

        Handler.certfile = args.tls_cert
        Handler.keyfile = args.tls_key
        Handler.tls_control_required = args.tls_required
        Handler.tls_data_required = args.tls_required

    Handler.authorizer = authorizer
    # Wrong passwords must fail at once, not after pyftpdlib's default pause.
    Handler.auth_failed_timeout = 0
    if args.banner:
        Handler.banner = args.banner

    server = FTPServer(("127.0.0.1", args.port), Handler)
    server.max_cons = 256
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
