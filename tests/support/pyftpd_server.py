"""A pyftpdlib server for the real-server tests: one user, one home directory,
one listening address, every received command appended to a log file.

Run with the system interpreter (/usr/bin/python3), which has the Debian
package python3-pyftpdlib.
"""

import argparse
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
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

        def pre_process_command(self, line, cmd, arg):
            command_log.write(line + "\n")
            super().pre_process_command(line, cmd, arg)

    Handler.authorizer = authorizer
    Handler.banner = args.banner

    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)
    server = FTPServer((args.address, args.port), Handler)
    # SIGTERM's default action ends the server; the harness waits for it.
    server.serve_forever()


if __name__ == "__main__":
    main()
