"""A pyftpdlib server for the real-server tests: one user, one home directory,
one listening address, every received command appended to a log file.

Two faults can be switched on for the window tests: a slow data channel
(--write-limit) and, for the first sessions, a control connection that is
reset after the login (--reset-sessions), optionally held until a gate file
appears (--reset-gate) so a test can choose the moment.

Run with the system interpreter (/usr/bin/python3), which has the Debian
package python3-pyftpdlib.
"""

import argparse
import logging
import os
import socket
import struct
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--port", type=int, default=21)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--home", required=True)
    parser.add_argument("--command-log", required=True)
    parser.add_argument("--banner", required=True)
    parser.add_argument("--write-limit", type=int, default=0,
                        help="bytes a second the data channel sends at most")
    parser.add_argument("--reset-sessions", type=int, default=0,
                        help="sessions whose first command after the login "
                             "is answered with text and a reset")
    parser.add_argument("--reset-gate",
                        help="a file the reset waits for and then deletes")
    parser.add_argument("--reset-stop",
                        help="once this file exists, no further session is reset")
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.home, perm="elradfmwMT")

    command_log = open(args.command_log, "a", buffering=1, encoding="utf-8",
                       errors="backslashreplace")

    class Handler(FTPHandler):
        # The client may connect from 127.0.0.1 while the server listens on
        # another loopback address; PORT to the client's own address must work.
        permit_foreign_addresses = True
        # A refused login is answered at once, as the vsftpd servers are
        # configured to, so retry tests do not wait seconds per attempt.
        auth_failed_timeout = 0

        sessions_to_reset = args.reset_sessions

        def on_login(self, username):
            stopped = args.reset_stop and os.path.exists(args.reset_stop)
            self.reset_pending = Handler.sessions_to_reset > 0 and not stopped
            Handler.sessions_to_reset -= 1

        def pre_process_command(self, line, cmd, arg):
            command_log.write(line + "\n")
            if getattr(self, "reset_pending", False):
                self.reset_connection()
                return
            super().pre_process_command(line, cmd, arg)

        def reset_connection(self):
            """Sends the start of a long reply, more than two of the
            client's 16383-byte blocks, then resets the connection. A test
            that holds the client still until the gate file is gone has the
            text still waiting at the client when the reset arrives, so its
            next read fails with ECONNRESET; a client left running usually
            reads the text first and only sees the connection end."""
            if args.reset_gate:
                deadline = time.monotonic() + 30
                while (not os.path.exists(args.reset_gate)
                       and time.monotonic() < deadline):
                    time.sleep(0.01)
            line = b"200-" + b"x" * 996 + b"\r\n"
            self.socket.setblocking(True)
            self.socket.sendall(line * 40)
            if args.reset_gate:
                # The text is in the client's buffer once sendall returns on
                # loopback; the pause only makes sure.
                time.sleep(0.2)
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                   struct.pack("ii", 1, 0))
            self.close()
            if args.reset_gate:
                os.remove(args.reset_gate)

    if args.write_limit > 0:
        class SlowData(ThrottledDTPHandler):
            write_limit = args.write_limit
        Handler.dtp_handler = SlowData

    Handler.authorizer = authorizer
    Handler.banner = args.banner

    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)
    server = FTPServer((args.address, args.port), Handler)
    # SIGTERM's default action ends the server; the harness waits for it.
    server.serve_forever()


if __name__ == "__main__":
    main()
