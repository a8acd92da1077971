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
"""
import argparse
import asyncio
import json
import os
import signal
import ssl
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP


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


class UnlimitedController(Controller):
    def __init__(self, handler, tls_context=None, **kwargs):
        self.starttls_context = tls_context
        super().__init__(handler, **kwargs)

    def factory(self):
        return SMTP(self.handler, data_size_limit=None, enable_SMTPUTF8=True,
                    decode_data=False, tls_context=self.starttls_context,
                    require_starttls=False)


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
    args = parser.parse_args()
    host, port = args.listen.rsplit(":", 1)
    os.makedirs(args.out, exist_ok=True)
    handler = StoringHandler(args.out, args.refuse_rcpt, args.tempfail_rcpt, args.greylist_rcpt,
                             args.refuse_once_rcpt)
    context = tls_context(args.tls_cert, args.tls_key, args.tls_broken) if args.tls_cert else None
    controller = UnlimitedController(handler, tls_context=context,
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
