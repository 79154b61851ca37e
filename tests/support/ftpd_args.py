"""The arguments both private Python FTP servers of the tests take.

PyftpdlibServer starts pyftpd_server.py and twisted_ftpd.py with the same
command line, so the options they share are declared here once. Those
scripts run under "/usr/bin/python3 -I", which leaves their own folder off
sys.path: each puts that folder back in front before importing this file.
"""

import argparse


def parser(description):
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--root", required=True)
    p.add_argument("--user", required=True)
    p.add_argument("--password", required=True)
    p.add_argument("--address", default="127.0.0.1")
    # "|" separates the lines of a greeting of several lines.
    p.add_argument("--banner", default="")
    # Read-only access to the root for "anonymous" (Twisted always has it).
    p.add_argument("--anonymous", action="store_true")
    return p
