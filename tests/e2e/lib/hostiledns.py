#!/usr/bin/env python3
# A hostile DNS server for the end-to-end bed, over UDP and TCP: MX replies under
# hostile.test with compression loops, bad pointers, false counts, cut records, sizes.
"""Usage: hostiledns.py ADDR READY_FILE

MX query of <case>.hostile.test, by case:
  loop       the answer's owner name points at itself
  pastend    the exchange name points past the end of the reply
  forward    the exchange name points forward to a name after the record
  counts     ANCOUNT 5, one record present
  truncated  the reply ends inside the record's fixed fields
  exact8192  a reply of exactly 8192 bytes: one MX record, then a large TXT record
  over8192   the same, 9000 bytes
  tc         over UDP the TC bit and no answer; over TCP a 10000-byte reply
  servfail   RCODE 2
  nodata     NOERROR, no answer
An A query of mxa.hostile.test gives 192.0.2.11, any other name under hostile.test
192.0.2.10; anything else is NXDOMAIN. The question is always echoed intact, so the
resolver takes every reply as the answer to its query.
"""
import socket
import struct
import sys
import threading

GOOD_MX = "mxa.hostile.test"


def encode(name):
    return b"".join(bytes([len(p)]) + p.encode() for p in name.split(".") if p) + b"\0"


def parse_question(q):
    """(qname, qtype, question bytes) of a query, or None."""
    pos, labels = 12, []
    while pos < len(q) and q[pos] != 0 and len(labels) < 64:
        n = q[pos]
        labels.append(q[pos + 1:pos + 1 + n].decode("latin-1"))
        pos += 1 + n
    end = pos + 5
    if end > len(q):
        return None
    qtype = struct.unpack(">H", q[pos + 1:pos + 3])[0]
    return ".".join(labels).lower(), qtype, q[12:end]


def header(qid, an, rcode=0, tc=False):
    flags = 0x8180 | rcode | (0x0200 if tc else 0)
    return struct.pack(">HHHHHH", qid, flags, 1, an, 0, 0)


def rr(owner, rtype, rdata):
    return owner + struct.pack(">HHIH", rtype, 1, 60, len(rdata)) + rdata


def mx_rdata(pref, name_bytes):
    return struct.pack(">H", pref) + name_bytes


def padded(start, size):
    """start, then a TXT record that brings the whole reply to size bytes."""
    room = size - len(start) - 12  # owner pointer and fixed fields
    chunks, left = b"", room
    while left > 0:
        n = min(255, left - 1)
        chunks += bytes([n]) + b"x" * n
        left -= n + 1
    return start + rr(b"\xc0\x0c", 16, chunks)


def mx_reply(case, qid, question, tcp):
    base = 12 + len(question)
    good = rr(b"\xc0\x0c", 15, mx_rdata(10, encode(GOOD_MX)))
    if case == "loop":
        return header(qid, 1) + question + rr(struct.pack(">H", 0xC000 | base), 15,
                                              mx_rdata(10, encode(GOOD_MX)))
    if case == "pastend":
        return header(qid, 1) + question + rr(b"\xc0\x0c", 15, mx_rdata(10, b"\xff\xff"))
    if case == "forward":
        # The exchange pointer names the bytes right after this record.
        target = base + 12 + 4
        rec = rr(b"\xc0\x0c", 15, mx_rdata(10, struct.pack(">H", 0xC000 | target)))
        return header(qid, 1) + question + rec + encode(GOOD_MX)
    if case == "counts":
        return header(qid, 5) + question + good
    if case == "truncated":
        return header(qid, 1) + question + good[:6]
    if case == "exact8192":
        return padded(header(qid, 2) + question + good, 8192)
    if case == "over8192":
        return padded(header(qid, 2) + question + good, 9000)
    if case == "tc":
        if not tcp:
            return header(qid, 0, tc=True) + question
        return padded(header(qid, 2) + question + good, 10000)
    if case == "servfail":
        return header(qid, 0, rcode=2) + question
    return header(qid, 0) + question  # nodata, and any other case


def answer(query, tcp):
    if len(query) < 12:
        return None
    qid = struct.unpack(">H", query[:2])[0]
    parsed = parse_question(query)
    if parsed is None:
        return None
    name, qtype, question = parsed
    if not name.endswith("hostile.test"):
        return header(qid, 0, rcode=3) + question
    if qtype == 15:
        return mx_reply(name.split(".")[0], qid, question, tcp)
    if qtype == 1:
        addr = "192.0.2.11" if name == GOOD_MX else "192.0.2.10"
        return header(qid, 1) + question + rr(b"\xc0\x0c", 1, socket.inet_aton(addr))
    return header(qid, 0) + question


def serve_udp(sock):
    while True:
        query, peer = sock.recvfrom(4096)
        reply = answer(query, False)
        if reply is not None:
            sock.sendto(reply, peer)


def serve_tcp_conn(conn):
    try:
        conn.settimeout(10)
        n = struct.unpack(">H", conn.recv(2, socket.MSG_WAITALL))[0]
        reply = answer(conn.recv(n, socket.MSG_WAITALL), True)
        if reply is not None:
            conn.sendall(struct.pack(">H", len(reply)) + reply)
    except (OSError, struct.error):
        pass
    finally:
        conn.close()


def serve_tcp(sock):
    while True:
        conn, _ = sock.accept()
        threading.Thread(target=serve_tcp_conn, args=(conn,), daemon=True).start()


def main():
    addr, ready = sys.argv[1], sys.argv[2]
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind((addr, 53))
    tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    tcp.bind((addr, 53))
    tcp.listen(32)
    threading.Thread(target=serve_tcp, args=(tcp,), daemon=True).start()
    with open(ready, "w") as f:
        f.write("ready")
    serve_udp(udp)


if __name__ == "__main__":
    main()
