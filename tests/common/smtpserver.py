"""A real SMTP server for the mail client tests, built on aiosmtpd.

Usage: smtpserver.py PORT MODE OUTDIR [--cert C --key K] [--user U --password P]
                     [--exclude MECH ...] [--smtputf8] [--host ADDRESS] [--greylist]
                     [--pipelining] [--close-after N]
MODE is "plain", "starttls" (STARTTLS required before anything else) or
"tls" (TLS from the first byte). Each accepted message is written byte for
byte (as received, dot-unstuffed) to OUTDIR/N.eml, its envelope and the
authenticated login to OUTDIR/N.env. Prints READY once it listens.
--smtputf8 offers SMTPUTF8 (RFC 6531). A recipient whose local part is
"reject-multiline" is refused with a reply of two 550 lines. --greylist
refuses every recipient once with 451 and takes it the next time. --host
is the address to listen on (127.0.0.1 by default).
--pipelining offers PIPELINING (RFC 2920); commands that arrive together are
answered one by one, in order. A recipient whose local part is "refuse-me"
is refused with 550; one whose local part is "drop-me" makes the server
close the connection at once, without a reply. --close-after N answers the
first command that comes after every N accepted messages (counted over all
connections) with 421 and closes that connection; new connections are
served as before, and after N more messages the next command gets the 421.
"""
import argparse
import asyncio
import hmac
import os
import signal
import ssl
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


async def hang_up(server):
    """Closes the connection without a word. connection_lost() then cancels
    the session's task, which ends here, so no command already read from the
    client is answered or acted on."""
    server.transport.close()
    await asyncio.sleep(3600)


class Handler:
    def __init__(self, outdir, user, password, greylist=False, pipelining=False, close_after=0):
        self.outdir = outdir
        self.user = user
        self.password = password
        self.count = 0
        self.greylist = greylist
        self.seen = set()
        self.pipelining = pipelining
        self.close_after = close_after
        # Messages accepted since the last 421 (all connections together:
        # they share this handler and the controller's one event loop).
        self.since_close = 0

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        # With this hook in place, aiosmtpd leaves remembering the name to us.
        session.host_name = hostname
        if self.pipelining:
            responses.insert(len(responses) - 1, "250-PIPELINING")
        return responses

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith("reject-multiline@"):
            return "550-5.1.1 first line of the refusal\r\n550 5.1.1 second line of the refusal"
        local = address.rpartition("@")[0].lower()
        if local == "refuse-me":
            return "550 5.1.1 refuse-me: no such user"
        if local == "drop-me":
            await hang_up(server)
        if self.greylist and address.lower() not in self.seen:
            self.seen.add(address.lower())
            return "451 4.7.1 Greylisted, try again later"
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        self.since_close += 1
        base = os.path.join(self.outdir, str(self.count))
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        login = session.auth_data.login.decode() if session.auth_data else ""
        with open(base + ".env", "w", encoding="utf-8") as f:
            f.write("from=%s\nto=%s\nlogin=%s\n" % (envelope.mail_from, ",".join(envelope.rcpt_tos), login))
        return "250 2.0.0 Ok: queued"

    # RFC 2195, offered as "CRAM-MD5".
    async def auth_CRAM__MD5(self, server, args):
        challenge = b"<4711.1234567890@localhost>"
        response = await server.challenge_auth(challenge)
        if not isinstance(response, bytes) or b" " not in response:
            return AuthResult(success=False, handled=False)
        user, digest = response.rsplit(b" ", 1)
        expected = hmac.new(self.password.encode(), challenge, "md5").hexdigest().encode()
        if user.decode() == self.user and hmac.compare_digest(digest, expected):
            return AuthResult(success=True, auth_data=LoginPassword(user, b""))
        return AuthResult(success=False, handled=False)


class Server(SMTP):
    """aiosmtpd's session, with --close-after's 421 in front of every command."""

    def __init__(self, handler, **kwargs):
        super().__init__(handler, **kwargs)
        if handler.close_after:
            self._smtp_methods = {name: self._closing_after(method)
                                  for name, method in self._smtp_methods.items()}

    def _closing_after(self, method):
        async def run(arg):
            handler = self.event_handler
            if handler.since_close >= handler.close_after:
                handler.since_close = 0
                await self.push("421 4.7.0 too many messages, closing")
                await hang_up(self)
            await method(arg)
        return run


class ServerController(Controller):
    def factory(self):
        return Server(self.handler, **self.SMTP_kwargs)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("port", type=int)
    p.add_argument("mode", choices=["plain", "starttls", "tls"])
    p.add_argument("outdir")
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--user", default="")
    p.add_argument("--password", default="")
    p.add_argument("--exclude", nargs="*", default=[])
    p.add_argument("--smtputf8", action="store_true")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--greylist", action="store_true")
    p.add_argument("--pipelining", action="store_true")
    p.add_argument("--close-after", type=int, default=0, metavar="N")
    a = p.parse_args()
    if a.close_after < 0:
        p.error("--close-after takes a count of messages (0: never)")

    handler = Handler(a.outdir, a.user, a.password, a.greylist, a.pipelining, a.close_after)

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login.decode() == a.user
              and auth_data.password.decode() == a.password)
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)

    kwargs = dict(hostname=a.host, port=a.port, enable_SMTPUTF8=a.smtputf8)
    if a.user:
        kwargs.update(authenticator=authenticator, auth_required=True,
                      auth_exclude_mechanism=a.exclude)
    if a.mode != "plain":
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(a.cert, a.key)
        if a.mode == "starttls":
            kwargs.update(tls_context=ctx, require_starttls=True)
        else:
            kwargs.update(ssl_context=ctx, auth_require_tls=False)
    else:
        kwargs.update(auth_require_tls=False)

    controller = ServerController(handler, **kwargs)
    controller.start()
    print("READY", flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    # Ends when the test closes our stdin or terminates us.
    threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
    stop.wait()
    controller.stop()


if __name__ == "__main__":
    main()
