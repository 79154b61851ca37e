"""A private Twisted FTP server (Debian python3-twisted) for the Quorvan FTP tests.

Started by TwistedServer with /usr/bin/python3 on 127.0.0.1 or ::1: one user
with a password and write access to the root, anonymous read-only access to
the same root, and a multi-line greeting banner (lines after --banner split
at "|"), which Twisted itself can only send as one line.
"""

import os
import sys

from twisted.cred import checkers, portal
from twisted.internet import reactor
from twisted.protocols import ftp
from twisted.python import filepath, log

# -I leaves this folder off sys.path; the shared options live beside us.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import ftpd_args  # noqa: E402


class Realm(ftp.BaseFTPRealm):
    def __init__(self, root):
        ftp.BaseFTPRealm.__init__(self, root)
        self.root = filepath.FilePath(root)

    def getHomeDirectory(self, avatarId):
        return self.root


def main():
    # --anonymous is accepted and changes nothing: anonymous sign-in is
    # always on here.
    args = ftpd_args.parser("A private Twisted FTP server").parse_args()
    log.startLogging(sys.stderr)

    users = checkers.InMemoryUsernamePasswordDatabaseDontUse()
    users.addUser(args.user, args.password)
    p = portal.Portal(Realm(args.root), [users, checkers.AllowAnonymousAccess()])

    banner = args.banner.split("|") if args.banner else []

    class Protocol(ftp.FTP):
        def connectionMade(self):
            if banner:
                # A 220 reply of several lines, written as servers with a
                # banner file do: the lines as they are, only the first and
                # last carry the code.
                lines = ["220-" + banner[0]] + banner[1:]
                for line in lines:
                    self.transport.write(line.encode() + b"\r\n")
            ftp.FTP.connectionMade(self)

    factory = ftp.FTPFactory(p)
    factory.protocol = Protocol
    factory.allowAnonymous = True
    factory.userAnonymous = "anonymous"
    factory.welcomeMessage = "Twisted FTP ready"
    factory.timeOut = 120
    reactor.listenTCP(args.port, factory, interface=args.address)
    reactor.run()


if __name__ == "__main__":
    main()
