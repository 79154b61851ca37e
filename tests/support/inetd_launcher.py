"""An inetd in miniature for FTP servers without a standalone mode on a port
of our choosing (GNU inetutils ftpd, the BSD ftpd of ftpd-ssl).

  inetd_launcher.py ADDRESS PORT LOG -- /path/to/ftpd ARGS...

Listens on ADDRESS:PORT; for every connection it forks and runs the server
with the connection as stdin and stdout, and stderr appended to LOG, as inetd
does in "nowait" mode. The tests kill the whole process tree at the end.
"""

import os
import signal
import socket
import sys


def main():
    address, port, logfile = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    command = sys.argv[sys.argv.index("--") + 1:]
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, port))
    listener.listen(64)
    # Children are reaped by the kernel; nobody waits for them here.
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    while True:
        try:
            connection, _ = listener.accept()
        except InterruptedError:
            continue
        if os.fork() == 0:
            listener.close()
            signal.signal(signal.SIGCHLD, signal.SIG_DFL)
            fd = connection.fileno()
            os.dup2(fd, 0)
            os.dup2(fd, 1)
            log = os.open(logfile, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
            os.dup2(log, 2)
            os.set_inheritable(0, True)
            os.set_inheritable(1, True)
            os.set_inheritable(2, True)
            os.execv(command[0], command)
        connection.close()


if __name__ == "__main__":
    main()
