#!/usr/bin/python3
"""Loopback SMTP server for the mail tests (aiosmtpd).

Run with Debian's /usr/bin/python3, which has aiosmtpd:

    smtp_server.py --port P --mailbox DIR --mode MODE [--cert C --key K]
                   [--user U --password W]

Modes:
  auth        plain connection, AUTH LOGIN and AUTH PLAIN offered
  plain-only  plain connection, only AUTH PLAIN offered
  noauth      plain connection, no AUTH offered
  starttls    STARTTLS offered and required; AUTH LOGIN/PLAIN after it
  implicit    TLS from the first byte; AUTH LOGIN/PLAIN offered

Listens on 127.0.0.1 only. Prints "READY <port>" once it accepts
connections (or "ERROR <text>" and exits 1). Every accepted message becomes
one JSON file msg-NNNNNN.json in the mailbox folder, written atomically:
envelope sender and recipients, the authenticated user (null without login),
the AUTH mechanism it used,
whether the session was encrypted, the raw data in base64, and a decoding made
with Python's email package (headers, decoded subject, text body and
attachments) so that the tests compare against an independent MIME reader.
Exits when its standard input closes or on SIGTERM/SIGINT.
"""

import argparse
import base64
import email
import email.policy
import itertools
import json
import os
import signal
import ssl
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


def decode_message(raw):
    """Independent MIME decoding of the received bytes."""
    out = {"headers": [], "subject": None, "body": None, "attachments": []}
    try:
        msg = email.message_from_bytes(raw, policy=email.policy.default)
        out["headers"] = [[k, str(v)] for k, v in msg.raw_items()]
        if msg["Subject"] is not None:
            out["subject"] = str(msg["Subject"])
        for part in msg.walk():
            if part.is_multipart():
                continue
            if part.get_content_disposition() == "attachment":
                payload = part.get_payload(decode=True) or b""
                out["attachments"].append({
                    "filename": part.get_filename(),
                    "content_type": part.get_content_type(),
                    "charset": part.get_param("charset"),
                    "data_b64": base64.b64encode(payload).decode("ascii"),
                })
            elif part.get_content_type() == "text/plain" and out["body"] is None:
                out["body"] = part.get_content()
    except Exception as exc:  # the raw data is still written
        out["decode_error"] = repr(exc)
    return out


class Mailbox:
    def __init__(self, folder):
        self.folder = folder
        self.counter = itertools.count(1)
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        transport = server.transport
        tls = session.ssl is not None or (
            transport is not None
            and transport.get_extra_info("ssl_object") is not None)
        user = None
        mechanism = None
        if session.authenticated and isinstance(session.auth_data, dict):
            user = session.auth_data.get("user")
            mechanism = session.auth_data.get("mechanism")
        raw = envelope.original_content or envelope.content or b""
        if isinstance(raw, str):
            raw = raw.encode("utf-8")
        record = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": list(envelope.rcpt_tos),
            "auth_user": user,
            "auth_mechanism": mechanism,
            "tls": tls,
            "data_b64": base64.b64encode(raw).decode("ascii"),
        }
        record.update(decode_message(raw))
        with self.lock:
            n = next(self.counter)
        name = os.path.join(self.folder, "msg-%06d.json" % n)
        tmp = name + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(record, f)
        os.replace(tmp, name)
        return "250 Message accepted for delivery"


def make_authenticator(user, password):
    def authenticator(server, session, envelope, mechanism, auth_data):
        if not isinstance(auth_data, LoginPassword):
            return AuthResult(success=False, handled=False)
        login = auth_data.login.decode("utf-8", "replace")
        ok = login == user and auth_data.password.decode("utf-8", "replace") == password
        # handled=False: aiosmtpd itself sends the 235/535 reply.
        return AuthResult(success=ok, handled=False,
                          auth_data={"user": login, "mechanism": mechanism})
    return authenticator


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--mailbox", required=True)
    parser.add_argument("--mode", required=True,
                        choices=["auth", "plain-only", "noauth", "starttls", "implicit"])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    args = parser.parse_args()

    kwargs = {
        "hostname": "127.0.0.1",
        "port": args.port,
        "authenticator": make_authenticator(args.user, args.password),
        "server_hostname": "localhost",
        "ready_timeout": 10.0,
    }
    context = None
    if args.mode in ("starttls", "implicit"):
        if not args.cert or not args.key:
            print("ERROR --cert and --key are needed for TLS modes", flush=True)
            return 1
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
    if args.mode == "auth":
        kwargs["auth_require_tls"] = False
    elif args.mode == "plain-only":
        kwargs["auth_require_tls"] = False
        kwargs["auth_exclude_mechanism"] = ["LOGIN"]
    elif args.mode == "noauth":
        # AUTH is only listed on encrypted sessions, and there are none.
        kwargs["auth_require_tls"] = True
    elif args.mode == "starttls":
        kwargs["tls_context"] = context
        kwargs["require_starttls"] = True
        kwargs["auth_require_tls"] = True
    elif args.mode == "implicit":
        kwargs["ssl_context"] = context
        kwargs["auth_require_tls"] = False

    controller = Controller(Mailbox(args.mailbox), **kwargs)
    try:
        controller.start()
    except Exception as exc:
        print("ERROR %r" % (exc,), flush=True)
        return 1

    done = threading.Event()

    def stop(*_):
        done.set()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    def watch_stdin():
        try:
            while sys.stdin.buffer.read(4096):
                pass
        except Exception:
            pass
        done.set()

    threading.Thread(target=watch_stdin, daemon=True).start()
    print("READY %d" % args.port, flush=True)
    while not done.wait(0.5):
        pass
    try:
        controller.stop()
    except Exception:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
