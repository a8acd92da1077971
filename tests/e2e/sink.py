#!/usr/bin/python3
"""An SMTP sink for the end-to-end tests: stores every message it receives.

Each message becomes <out>/<n>.eml (the data exactly as received, dot
transparency undone) and <n>.json (envelope sender and recipients). Recipients
named with --refuse-rcpt are refused with 550, those named with --tempfail-rcpt get 450
every time, those named with --greylist-rcpt get 450 and those named with
--refuse-once-rcpt 550, the first time only. With --tls-cert and --tls-key it offers
STARTTLS; with --tls-broken as well, every handshake fails (the server only speaks
TLS 1.0, which no current client accepts). The json also says whether the message came
encrypted, the client's EHLO name and its MAIL parameters.

As a submission server: --implicit-tls speaks TLS from the first octet (with --tls-cert and
--tls-key) instead of offering STARTTLS; --auth USER:PASSWORD offers AUTH (PLAIN, LOGIN),
only through TLS, and requires it before MAIL; --commands FILE notes every command received
and every login checked, one JSON object a line, with whether it came through TLS.
"""
import argparse
import asyncio
import json
import os
import signal
import ssl
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class StoringHandler:
    def __init__(self, out_dir, refused, tempfailed=(), greylisted=(), refused_once=()):
        self.out_dir = out_dir
        self.refused = {r.lower() for r in refused}
        self.tempfailed = {r.lower() for r in tempfailed}
        self.greylisted = {r.lower() for r in greylisted}
        self.refused_once = {r.lower() for r in refused_once}
        self.count = 0
        self.lock = threading.Lock()

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.refused:
            return "550 5.1.1 mailbox refused by test sink"
        if address.lower() in self.tempfailed:
            return "450 4.2.0 mailbox busy at test sink"
        if address.lower() in self.greylisted:
            self.greylisted.discard(address.lower())
            return "450 4.2.0 greylisted by test sink, try again later"
        if address.lower() in self.refused_once:
            self.refused_once.discard(address.lower())
            return "550 5.7.1 refused once by test sink"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            number = self.count
        base = os.path.join(self.out_dir, str(number))
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        os.rename(base + ".eml.part", base + ".eml")
        meta = {"from": envelope.mail_from, "to": envelope.rcpt_tos,
                "tls": session.ssl is not None, "helo": session.host_name,
                "mail_options": envelope.mail_options}
        with open(base + ".json.part", "w") as f:
            json.dump(meta, f)
        os.rename(base + ".json.part", base + ".json")
        return "250 OK stored"


class CommandLog:
    """Appends one JSON object a line to a file; nothing without one."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def note(self, **entry):
        if self.path:
            with self.lock, open(self.path, "a", encoding="utf-8") as f:
                f.write(json.dumps(entry) + "\n")


class RecordingSMTP(SMTP):
    """Notes each command (its smtp_<VERB> method called) before it is answered."""

    def __init__(self, *args, command_log, **kwargs):
        self.command_log = command_log
        super().__init__(*args, **kwargs)

    def encrypted(self):
        transport = getattr(self, "transport", None)
        session = getattr(self, "session", None)
        return bool((session is not None and session.ssl is not None) or
                    (transport is not None and transport.get_extra_info("ssl_object")))

    def __getattribute__(self, name):
        attribute = super().__getattribute__(name)
        if not name.startswith("smtp_") or not callable(attribute):
            return attribute

        async def recorded(arg):
            self.command_log.note(verb=name[5:], arg=arg, tls=self.encrypted())
            return await attribute(arg)
        return recorded


class Authenticator:
    """Accepts one user with one password, noting every login it checks."""

    def __init__(self, credentials, command_log):
        user, password = credentials.split(":", 1)
        self.user, self.password = user.encode(), password.encode()
        self.command_log = command_log

    def __call__(self, server, session, envelope, mechanism, auth_data):
        if not isinstance(auth_data, LoginPassword):
            return AuthResult(success=False, handled=False)
        accepted = auth_data.login == self.user and auth_data.password == self.password
        self.command_log.note(verb="LOGIN-CHECK", mechanism=mechanism,
                              login=auth_data.login.decode(errors="replace"),
                              accepted=accepted, tls=server.encrypted())
        return AuthResult(success=accepted, handled=False)


class UnlimitedController(Controller):
    def __init__(self, handler, tls_context=None, implicit_tls=False, authenticator=None,
                 command_log=CommandLog(None), **kwargs):
        self.starttls_context = None if implicit_tls else tls_context
        self.authenticator = authenticator
        self.implicit_tls = implicit_tls
        self.command_log = command_log
        if implicit_tls:
            kwargs["ssl_context"] = tls_context
        super().__init__(handler, **kwargs)

    def factory(self):
        auth = {}
        if self.authenticator:
            # Through TLS only: with TLS from the start the whole connection is.
            auth = {"authenticator": self.authenticator, "auth_required": True,
                    "auth_require_tls": not self.implicit_tls}
        return RecordingSMTP(self.handler, data_size_limit=None, enable_SMTPUTF8=True,
                             decode_data=False, tls_context=self.starttls_context,
                             require_starttls=False, command_log=self.command_log, **auth)


def tls_context(cert, key, broken):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    if broken:
        context.minimum_version = ssl.TLSVersion.TLSv1
        context.maximum_version = ssl.TLSVersion.TLSv1
    return context


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", required=True, help="ADDR:PORT")
    parser.add_argument("--out", required=True)
    parser.add_argument("--refuse-rcpt", action="append", default=[])
    parser.add_argument("--tempfail-rcpt", action="append", default=[])
    parser.add_argument("--greylist-rcpt", action="append", default=[])
    parser.add_argument("--refuse-once-rcpt", action="append", default=[])
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--tls-broken", action="store_true")
    parser.add_argument("--implicit-tls", action="store_true")
    parser.add_argument("--auth", help="USER:PASSWORD")
    parser.add_argument("--commands", help="FILE")
    args = parser.parse_args()
    host, port = args.listen.rsplit(":", 1)
    os.makedirs(args.out, exist_ok=True)
    handler = StoringHandler(args.out, args.refuse_rcpt, args.tempfail_rcpt, args.greylist_rcpt,
                             args.refuse_once_rcpt)
    context = tls_context(args.tls_cert, args.tls_key, args.tls_broken) if args.tls_cert else None
    command_log = CommandLog(args.commands)
    authenticator = Authenticator(args.auth, command_log) if args.auth else None
    controller = UnlimitedController(handler, tls_context=context, implicit_tls=args.implicit_tls,
                                     authenticator=authenticator, command_log=command_log,
                                     hostname=host, port=int(port))
    controller.start()
    print("ready", flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    stop.wait()
    controller.stop()


if __name__ == "__main__":
    main()
