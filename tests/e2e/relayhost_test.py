#!/usr/bin/env python3
"""End-to-end tests of delivery through a relay host: every message goes to one
submission server, which the program finds through its own DNS server, reaches with TLS
whose certificate it checks (a test CA made with openssl, trusted via LUMENPOST_CA_FILE),
and logs in to with the password of --password-file. The servers note every command, so
a password sent where it must not be shows.
Needs root (ports 53, 465 and 587 on 127.0.0.70 to .79).

Usage: relayhost_test.py [path of the lumenpost program]
"""
import json
import os
import subprocess
import unittest

import peers
from headless_test import WAIT, net_timeout
from peers import ProgramTestCase, Sink, start_dnsmasq, swaks

DNS = "127.0.0.71"
RELAY = "127.0.0.70"         # the relay host: 587 with STARTTLS, 465 with TLS from the start
WRONG_NAME = "127.0.0.72"    # 587 with STARTTLS, its certificate names another host
NO_STARTTLS = "127.0.0.73"   # 587 without STARTTLS
HOSTS = ["smtp.relay.test," + RELAY, "badcert.relay.test," + WRONG_NAME,
         "plain.relay.test," + NO_STARTTLS]
USER, PASSWORD = "alice", "correct horse"
SENDER = "someone@sender.test"
# Short enough for a test, long enough for the server's pause before it refuses a login.
FAST = {"LUMENPOST_NET_TIMEOUT_MS": net_timeout(10000)}


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=WAIT * 4)


def make_ca(folder):
    key, cert = os.path.join(folder, "ca.key"), os.path.join(folder, "ca.crt")
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=Lumenpost Test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return cert, key


def make_server_certificate(folder, ca, name):
    """A certificate for NAME (CN and DNS name) signed by the test CA; (cert, key)."""
    base = os.path.join(folder, name)
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", base + ".key", "-out", base + ".csr", "-subj", "/CN=" + name,
            "-addext", "subjectAltName=DNS:" + name)
    openssl("x509", "-req", "-in", base + ".csr", "-CA", ca[0], "-CAkey", ca[1],
            "-CAcreateserial", "-days", "2", "-copy_extensions", "copy", "-out", base + ".crt")
    return base + ".crt", base + ".key"


@unittest.skipUnless(os.geteuid() == 0, "needs root: ports 53, 465 and 587 on 127.0.0.x")
class RelayHostTest(ProgramTestCase):

    @classmethod
    def setUpClass(cls):
        def start():
            # Names of relay.test that it does not list do not exist (NXDOMAIN).
            cls.processes.append(start_dnsmasq([], DNS, HOSTS, extra=["--local=/relay.test/"]))
            cls.ca = make_ca(cls.tmp.name)
            right = make_server_certificate(cls.tmp.name, cls.ca, "smtp.relay.test")
            wrong = make_server_certificate(cls.tmp.name, cls.ca, "other.relay.test")
            cls.starttls = cls.add_server("starttls", RELAY, 587, right)
            cls.implicit = cls.add_server("implicit", RELAY, 465, right, ["--implicit-tls"])
            cls.wrong_name = cls.add_server("wrong_name", WRONG_NAME, 587, wrong)
            cls.no_starttls = cls.add_server("no_starttls", NO_STARTTLS, 587, None)
        cls.start_peers(start)

    @classmethod
    def add_server(cls, name, host, port, certificate, extra=()):
        out = os.path.join(cls.tmp.name, name)
        options = ["--auth", "%s:%s" % (USER, PASSWORD), "--commands", out + ".commands",
                   *extra]
        server = Sink(host, out, port=port, extra=options,
                      tls=(*certificate, False) if certificate else None)
        server.commands_path = out + ".commands"
        cls.processes.append(server.process)
        return server

    def setUp(self):
        super().setUp()
        for server in (self.starttls, self.implicit, self.wrong_name, self.no_starttls):
            if os.path.exists(server.commands_path):
                os.remove(server.commands_path)
        self.before = {server: server.count() for server in
                       (self.starttls, self.implicit, self.wrong_name, self.no_starttls)}

    def commands(self, server):
        if not os.path.exists(server.commands_path):
            return []
        with open(server.commands_path, encoding="utf-8") as f:
            return [json.loads(line) for line in f]

    def verbs(self, server):
        return [entry["verb"] for entry in self.commands(server)]

    def password_file(self, password, mode=0o600):
        path = os.path.join(self.home.name, "password")
        with open(path, "w", encoding="utf-8") as f:
            f.write(password + "\n")
        os.chmod(path, mode)
        return path

    def start_relay(self, relayhost, password=PASSWORD, ca=True):
        """The program with a relay host; password None: no --password-file."""
        settings = "relayhost=%s\nrelayuser=%s\n" % (relayhost, USER)
        # A secret store is asked only without --password-file, and never the one of the
        # session that runs the tests.
        env = dict(FAST, LUMENPOST_CA_FILE=self.ca[0] if ca else None,
                   DBUS_SESSION_BUS_ADDRESS="unix:path=" + os.path.join(self.home.name, "no-bus"))
        peers.write_settings(os.path.join(self.home.name, "config"), 0, DNS, settings)
        extra = [] if password is None else ["--password-file", self.password_file(password)]
        program = peers.Program(self.home.name, peers.free_port(), env_changes=env, extra=extra)
        self.programs.append(program)
        program.connect().close()  # listening
        return program

    def send(self, program, recipient="r@anywhere.test"):
        result = swaks(program.port, SENDER, [recipient])
        self.assertEqual(result.returncode, 0, result.stdout.decode(errors="replace"))

    def delivered(self, server):
        first = self.before[server]
        self.assertEqual(server.wait_count(first + 1), first + 1)
        return server.message(first + 1)

    def test_delivered_through_starttls_after_the_login(self):
        program = self.start_relay("smtp.relay.test")
        self.send(program, "r@anywhere.test")
        self.assertIn("To:r@anywhere.test/", program.next_line("okrelay:"))
        self.assertRegex(program.next_line("via:"),
                         r"^via: smtp\.relay\.test \[127\.0\.0\.70\]:587, TLSv1\.[23] \S+$")
        envelope, _ = self.delivered(self.starttls)
        self.assertEqual(envelope["to"], ["r@anywhere.test"])
        self.assertTrue(envelope["tls"])
        commands = self.commands(self.starttls)
        verbs = [entry["verb"] for entry in commands]
        self.assertLess(verbs.index("STARTTLS"), verbs.index("AUTH"))
        self.assertTrue(all(entry["tls"] for entry in commands if entry["verb"] == "AUTH"))
        checks = [entry for entry in commands if entry["verb"] == "LOGIN-CHECK"]
        self.assertEqual([(c["login"], c["accepted"]) for c in checks], [(USER, True)])

    def test_delivered_with_tls_from_the_start_on_port_465(self):
        program = self.start_relay("smtp.relay.test:465")
        self.send(program)
        program.next_line("okrelay:")
        self.assertRegex(program.next_line("via:"),
                         r"^via: smtp\.relay\.test \[127\.0\.0\.70\]:465, TLSv1\.[23] \S+$")
        self.delivered(self.implicit)
        commands = self.commands(self.implicit)
        self.assertTrue(all(entry["tls"] for entry in commands))
        self.assertNotIn("STARTTLS", [entry["verb"] for entry in commands])
        self.assertIn("AUTH", [entry["verb"] for entry in commands])

    def test_certificate_for_another_name_defers_before_any_password(self):
        program = self.start_relay("badcert.relay.test")
        self.send(program)
        deferred = program.next_line("deferred:")
        self.assertIn("hostname mismatch", deferred)
        self.assertIn("no password either", deferred)
        self.assertEqual(self.verbs(self.wrong_name), ["EHLO", "STARTTLS"])

    def test_certificate_of_an_unknown_ca_defers(self):
        program = self.start_relay("smtp.relay.test", ca=False)
        self.send(program)
        self.assertIn("certificate is not trusted", program.next_line("deferred:"))
        self.assertNotIn("AUTH", self.verbs(self.starttls))

    def test_server_without_starttls_defers_and_gets_no_password(self):
        program = self.start_relay("plain.relay.test")
        self.send(program)
        self.assertIn("does not offer STARTTLS", program.next_line("deferred:"))
        self.assertEqual(self.verbs(self.no_starttls), ["EHLO", "QUIT"])
        self.assertEqual(self.no_starttls.count(), self.before[self.no_starttls])

    def test_wrong_password_fails_for_good_with_the_servers_reply(self):
        program = self.start_relay("smtp.relay.test", password="wrong")
        self.send(program, "r@anywhere.test")
        self.assertIn("To:r@anywhere.test/", program.next_line("badrelay:"))
        reason = program.next_line("reason:")
        self.assertRegex(reason, r"^reason: 535 .*login as alice at smtp\.relay\.test refused")
        checks = [c for c in self.commands(self.starttls) if c["verb"] == "LOGIN-CHECK"]
        self.assertEqual([(c["login"], c["accepted"]) for c in checks], [(USER, False)])
        self.assertNotIn("MAIL", self.verbs(self.starttls))

    def test_host_the_dns_server_does_not_know_defers(self):
        program = self.start_relay("nowhere.relay.test")
        self.send(program)
        self.assertIn("relay host nowhere.relay.test does not exist at DNS server " + DNS,
                      program.next_line("deferred:"))

    def test_without_password_file_a_password_missing_from_the_secret_store_defers(self):
        program = self.start_relay("smtp.relay.test", password=None)
        self.send(program)
        self.assertIn("Reason:no password for alice at smtp.relay.test in the secret store "
                      "(set it in the settings)", program.next_line("deferred:"))
        self.assertEqual(self.commands(self.starttls), [])

    def test_password_file_that_others_may_read_stops_the_start(self):
        path = self.password_file(PASSWORD, 0o644)
        result = subprocess.run(peers.headless_test.command("--headless", "--password-file", path),
                                capture_output=True, timeout=WAIT)
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"may be read by group or others", result.stderr)


if __name__ == "__main__":
    peers.program_from_argv("relayhost_test.py")
    unittest.main()
