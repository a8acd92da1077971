"""A DNS server for the end-to-end tests that answers by script, also wrongly: on UDP and
TCP port 53 of one address, each query name gets what its script entry says (records,
an error code, silence, a truncated UDP answer, an answer to another question first, octets
sent as they are: half a TCP frame, garbage).
"""
import socket
import struct
import threading
import time

TYPE_A = 1
TYPE_MX = 15
TYPE_AAAA = 28
NXDOMAIN = 3
SERVFAIL = 2


def encode_name(name):
    labels = [label for label in name.rstrip(".").split(".") if label]
    return b"".join(bytes([len(l)]) + l.encode("ascii") for l in labels) + b"\0"


def read_question(query):
    """(id, name, type, end of question) of a query."""
    (query_id,) = struct.unpack("!H", query[:2])
    labels, at = [], 12
    while query[at]:
        labels.append(query[at + 1:at + 1 + query[at]].decode("ascii"))
        at += 1 + query[at]
    qtype, _ = struct.unpack("!HH", query[at + 1:at + 5])
    return query_id, ".".join(labels), qtype, at + 5


def record(name, rtype, rdata, ttl=300):
    return encode_name(name) + struct.pack("!HHIH", rtype, 1, ttl, len(rdata)) + rdata


def mx(name, preference, exchange):
    return record(name, TYPE_MX, struct.pack("!H", preference) + encode_name(exchange))


def a(name, address):
    return record(name, TYPE_A, socket.inet_pton(socket.AF_INET, address))


def answer(query, records=(), rcode=0, truncated=False, question_name=None):
    """An answer to `query`: its id, its question (or one for `question_name`), records."""
    query_id, name, qtype, end = read_question(query)
    flags = 0x8180 | rcode | (0x0200 if truncated else 0)
    header = struct.pack("!HHHHHH", query_id, flags, 1, len(records), 0, 0)
    question = query[12:end] if question_name is None else (
        encode_name(question_name) + struct.pack("!HH", qtype, 1))
    return header + question + b"".join(records)


class Raw:
    """Octets a script wants sent exactly as they are: over TCP without the length prefix
    that a message otherwise gets (so that a frame can be cut short)."""

    def __init__(self, octets):
        self.octets = octets


class ScriptedDns:
    """script(query, over_tcp) -> list of (delay seconds, datagram or Raw) to send, [] for
    silence. Over TCP the connection is closed after the last one."""

    def __init__(self, address, script):
        self.script = script
        self.queries = []
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind((address, 53))
        self.tcp = socket.socket()
        self.tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.tcp.bind((address, 53))
        self.tcp.listen(16)
        self.stopping = False
        for target in (self._serve_udp, self._serve_tcp):
            threading.Thread(target=target, daemon=True).start()

    def _replies(self, query, over_tcp):
        _, name, qtype, _ = read_question(query)
        self.queries.append((name.lower(), qtype, "tcp" if over_tcp else "udp"))
        return self.script(query, over_tcp)

    def _serve_udp(self):
        while not self.stopping:
            try:
                query, peer = self.udp.recvfrom(512)
                for delay, datagram in self._replies(query, False):
                    time.sleep(delay)
                    self.udp.sendto(datagram.octets if isinstance(datagram, Raw) else datagram,
                                    peer)
            except (OSError, IndexError, struct.error):
                continue

    def _serve_tcp(self):
        while not self.stopping:
            try:
                connection, _ = self.tcp.accept()
            except OSError:
                return
            with connection:
                connection.settimeout(5)
                try:
                    length = struct.unpack("!H", connection.recv(2))[0]
                    query = b""
                    while len(query) < length:
                        query += connection.recv(length - len(query))
                    for delay, reply in self._replies(query, True):
                        time.sleep(delay)
                        connection.sendall(reply.octets if isinstance(reply, Raw) else
                                           struct.pack("!H", len(reply)) + reply)
                except (OSError, IndexError, struct.error):
                    continue

    def close(self):
        self.stopping = True
        for sock in (self.udp, self.tcp):
            try:
                sock.shutdown(socket.SHUT_RDWR)  # wakes the thread that waits on it
            except OSError:
                pass
            sock.close()
