#!/usr/bin/python3
"""An SMTP server on 127.0.0.1 that fails at random, with a fixed seed.

Usage: flakysmtp.py PORT LOGFILE SEED [--drop P] [--refuse P] [--defer P] [--lose-dot P]

Every recipient whose message it accepts is appended to LOGFILE, one line
each, written through before the "250" goes out, so the log is the truth
about what was delivered even when the client is killed a moment later.

  --drop P      close a new connection at once, before the greeting
  --refuse P    answer RCPT with "550 5.1.1 no such user"
  --defer P     answer RCPT with "451 4.7.1 try again later"
  --lose-dot P  read the whole message, then close without any answer (the
                message is NOT delivered: the client cannot know that)
  --hold-after N  once N messages were accepted, read the next one whole and
                never answer it (the connection stays open)
"""
import argparse
import asyncio
import os
import random
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("log")
    parser.add_argument("seed", type=int)
    parser.add_argument("--drop", type=float, default=0.0)
    parser.add_argument("--refuse", type=float, default=0.0)
    parser.add_argument("--defer", type=float, default=0.0)
    parser.add_argument("--lose-dot", type=float, default=0.0)
    parser.add_argument("--hold-after", type=int, default=-1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    accepted = [0]
    log = open(args.log, "ab", buffering=0)

    async def session(reader, writer):
        def send(line):
            writer.write(line.encode() + b"\r\n")

        try:
            if rng.random() < args.drop:
                writer.close()
                return
            send("220 flaky.test ESMTP ready")
            rcpt = []
            while True:
                line = await reader.readline()
                if not line:
                    break
                cmd = line.rstrip(b"\r\n").decode("utf-8", "replace")
                verb = cmd[:4].upper()
                if verb in ("EHLO", "HELO"):
                    send("250 flaky.test")
                elif verb == "MAIL":
                    rcpt = []
                    send("250 2.1.0 ok")
                elif verb == "RCPT":
                    r = rng.random()
                    if r < args.refuse:
                        send("550 5.1.1 no such user")
                    elif r < args.refuse + args.defer:
                        send("451 4.7.1 try again later")
                    else:
                        address = cmd[cmd.find("<") + 1:cmd.rfind(">")]
                        rcpt.append(address)
                        send("250 2.1.5 ok")
                elif verb == "DATA":
                    if not rcpt:
                        send("503 5.5.1 no valid recipients")
                        continue
                    send("354 go ahead")
                    await writer.drain()
                    while True:
                        data = await reader.readline()
                        if not data:
                            return
                        if data == b".\r\n":
                            break
                    if rng.random() < args.lose_dot:
                        writer.close()
                        return
                    if 0 <= args.hold_after <= accepted[0]:
                        await asyncio.Event().wait()
                    accepted[0] += 1
                    for address in rcpt:
                        log.write(address.encode() + b"\n")
                    send("250 2.0.0 queued")
                elif verb == "RSET":
                    rcpt = []
                    send("250 ok")
                elif verb == "QUIT":
                    send("221 bye")
                    await writer.drain()
                    break
                elif verb == "NOOP":
                    send("250 ok")
                else:
                    send("502 5.5.2 not implemented")
                await writer.drain()
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            writer.close()

    async def serve():
        server = await asyncio.start_server(session, "127.0.0.1", args.port)
        async with server:
            await server.serve_forever()

    asyncio.run(serve())


if __name__ == "__main__":
    sys.exit(main())
