#!/usr/bin/python3
"""A minimal mail relay, the plain-Python contender of benchmark 3 (bench/relay_bench.py).

Intake on asyncio streams: the reply after the data is sent once the envelope and the
message are in a file of the spool folder, synced along with the folder. Then one thread
per message asks DNS_ADDR for the MX records of each recipient domain (raw UDP) and hands
the message to the first exchanger that takes it, with smtplib; a delivered message's
file is removed, a failed one is kept and reported (no retries, no bounces).

Usage: mini_relay.py ADDR:PORT DNS_ADDR SPOOL_DIR
Prints "ready" once it listens and a line for each message it could not deliver.
"""
import asyncio
import itertools
import os
import random
import signal
import smtplib
import socket
import struct
import sys
import threading

HELO = "mini.bench.example"  # fixed, so that no system resolver call finds one
WAIT = 20.0  # seconds any single network wait may take
MAX_POINTERS = 16  # compression pointers followed in one name


def read_name(packet, offset):
    """(name, offset after it in the record) of the possibly compressed name at offset."""
    labels, end = [], None
    for _ in range(MAX_POINTERS):
        while packet[offset] and packet[offset] < 0xC0:
            length = packet[offset]
            labels.append(packet[offset + 1:offset + 1 + length].decode("ascii"))
            offset += 1 + length
        if not packet[offset]:
            return ".".join(labels), end if end is not None else offset + 1
        if end is None:
            end = offset + 2
        offset = ((packet[offset] & 0x3F) << 8) | packet[offset + 1]
    raise ValueError("a DNS name with too many compression pointers")


def mx_hosts(domain, server):
    """The exchangers of `domain` by preference, or the domain itself without MX."""
    ident = random.getrandbits(16)
    query = struct.pack("!HHHHHH", ident, 0x0100, 1, 0, 0, 0)
    query += b"".join(bytes([len(p)]) + p.encode() for p in domain.split(".")) + b"\0"
    query += struct.pack("!HH", 15, 1)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.settimeout(WAIT)
        udp.connect((server, 53))
        udp.send(query)
        answer = udp.recv(4096)
    answer_id, flags, questions, answers = struct.unpack_from("!HHHH", answer)
    if answer_id != ident or flags & 0x000F not in (0, 3):
        raise OSError("DNS answer for %s: id %d, flags %#x" % (domain, answer_id, flags))
    offset = 12
    for _ in range(questions):
        offset = read_name(answer, offset)[1] + 4
    found = []
    for _ in range(answers):
        offset = read_name(answer, offset)[1]
        record_type, _, _, length = struct.unpack_from("!HHIH", answer, offset)
        offset += 10
        if record_type == 15:
            preference = struct.unpack_from("!H", answer, offset)[0]
            found.append((preference, read_name(answer, offset + 2)[0]))
        offset += length
    return [host for _, host in sorted(found)] or [domain]


def deliver_to_domain(domain, sender, recipients, message, dns):
    """None once an exchanger of `domain` has taken the message, else what went wrong."""
    try:
        hosts = mx_hosts(domain, dns)
    except (OSError, ValueError, IndexError, struct.error) as error:
        return "%s: %s" % (domain, error)
    errors = []
    for host in hosts:
        try:
            with smtplib.SMTP(host, 25, local_hostname=HELO, timeout=WAIT) as smtp:
                smtp.sendmail(sender, recipients, message)
            return None
        except (OSError, smtplib.SMTPException) as error:
            errors.append("%s via %s: %s" % (domain, host, error))
    return "; ".join(errors)


def deliver(path, dns):
    """Relays the spooled message at `path` to each recipient domain's exchanger."""
    with open(path, "rb") as spooled:
        envelope, message = spooled.read().split(b"\n", 1)
    sender, *recipients = envelope.decode().split("\t")
    domains = {}
    for recipient in recipients:
        domains.setdefault(recipient.rpartition("@")[2].lower(), []).append(recipient)
    failures = [failure for failure in (deliver_to_domain(domain, sender, addressed, message, dns)
                                        for domain, addressed in domains.items()) if failure]
    if failures:
        print("kept %s: %s" % (path, "; ".join(failures)), flush=True)
    else:
        os.remove(path)


class Spool:
    """One file per message: a line with the sender and the recipients, then the message."""

    def __init__(self, folder):
        self.folder = folder
        self.numbers = itertools.count()
        os.makedirs(folder, exist_ok=True)

    def store(self, sender, recipients, message):
        path = os.path.join(self.folder, "%d-%d.msg" % (os.getpid(), next(self.numbers)))
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        try:
            os.write(fd, "\t".join([sender] + recipients).encode() + b"\n" + message)
            os.fsync(fd)
        finally:
            os.close(fd)
        folder = os.open(self.folder, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(folder)  # the new name is as durable as the content
        finally:
            os.close(folder)
        return path


def address_of(argument):
    """The address inside <...> of a MAIL FROM or RCPT TO argument."""
    return argument.partition(b"<")[2].partition(b">")[0].decode()


async def read_message(reader):
    """The data up to the end line, with the dot stuffing removed."""
    lines = []
    while (line := await reader.readline()) not in (b".\r\n", b".\n", b""):
        lines.append(line[1:] if line.startswith(b".") else line)
    return b"".join(lines)


async def serve(reader, writer, spool, dns):
    writer.write(b"220 %s ready\r\n" % HELO.encode())
    sender, recipients = None, []
    while line := await reader.readline():
        verb, argument = line[:4].upper(), line[5:].strip()
        if verb == b"QUIT":
            writer.write(b"221 bye\r\n")
            break
        if verb in (b"EHLO", b"HELO", b"RSET"):
            sender, recipients = None, []
            reply = b"250-%s\r\n250 8BITMIME" % HELO.encode() if verb == b"EHLO" else b"250 OK"
        elif verb == b"MAIL":
            sender, recipients, reply = address_of(argument), [], b"250 OK"
        elif verb == b"RCPT" and sender is not None:
            recipients.append(address_of(argument))
            reply = b"250 OK"
        elif verb == b"DATA" and recipients:
            writer.write(b"354 end with <CRLF>.<CRLF>\r\n")
            message = await read_message(reader)
            path = await asyncio.get_running_loop().run_in_executor(
                None, spool.store, sender, recipients, message)
            threading.Thread(target=deliver, args=(path, dns), daemon=True).start()
            sender, recipients, reply = None, [], b"250 OK queued"
        elif verb == b"NOOP":
            reply = b"250 OK"
        else:
            reply = b"503 send EHLO, MAIL FROM, RCPT TO and DATA in this order"
        writer.write(reply + b"\r\n")
        await writer.drain()
    writer.close()


async def main():
    host, port = sys.argv[1].rsplit(":", 1)
    dns, spool = sys.argv[2], Spool(sys.argv[3])
    server = await asyncio.start_server(lambda r, w: serve(r, w, spool, dns), host, int(port))
    stopping = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stopping.set)
    print("ready", flush=True)
    async with server:
        await stopping.wait()


if __name__ == "__main__":
    asyncio.run(main())
