#!/usr/bin/python3
"""Index servers for the swarm benchmark: a RIS (logon, command 50) and a
CIS (peer lists 80/86, reports 87, route tables 89) speaking the command
packets of docs/protocols.md, for services inside the benchmark's network
namespaces.

Every service of a run is named up front (--peer IP:PORT, one per
machine), so each asker is handed all the others at once, as a CIS does
once every holder has asked. The RIS gives each service a client id drawn
from its address and tells it the address its connection came from.

  index_server.py --ip IP --ris-port N --cis-port N --peer IP:PORT ...
"""
import argparse
import socket
import socketserver
import struct
import threading
import time

VERSION_LOGON = 257
VERSION = 258


def client_id_of(ip):
    return 0x5600000000 + struct.unpack("!I", socket.inet_aton(ip))[0]


def packet(command, version, fields):
    body = b"".join(struct.pack("<HI", fid, len(data)) + data for fid, data in fields)
    head = struct.pack("<BHIB", 0, command, version, len(fields))
    return struct.pack("<I", len(head) + len(body)) + head + body


def read_packet(sock_file):
    raw = sock_file.read(4)
    if len(raw) < 4:
        return None
    (length,) = struct.unpack("<I", raw)
    if length < 8 or length > 65536:
        return None
    data = sock_file.read(length)
    if len(data) < length:
        return None
    _flag, command, _version, _count = struct.unpack("<BHIB", data[:8])
    fields, at = {}, 8
    while at + 6 <= len(data):
        fid, flen = struct.unpack("<HI", data[at:at + 6])
        fields[fid] = data[at + 6:at + 6 + flen]
        at += 6 + flen
    return command, fields


def peer_info(ip, port, peer_type):
    record = struct.pack("<Q", client_id_of(ip)) + socket.inet_aton(ip) + struct.pack("<H", port)
    record += socket.inet_aton(ip) + struct.pack("<HB", port, peer_type) + bytes(128)
    assert len(record) == 149
    return record


class Ris(socketserver.StreamRequestHandler):
    def handle(self):
        got = read_packet(self.rfile)
        if not got or got[0] != 50:
            return
        ip = self.client_address[0]
        (public,) = struct.unpack("!I", socket.inet_aton(ip))
        (cis_ip,) = struct.unpack("!I", socket.inet_aton(self.server.cis[0]))
        cis = struct.pack("<IHB", cis_ip, self.server.cis[1], 0)
        self.wfile.write(packet(51, VERSION_LOGON, [
            (0, struct.pack("<I", 0)), (1, struct.pack("<I", 0)),
            (2, struct.pack("<Q", client_id_of(ip))), (3, struct.pack("<I", 86)),
            (4, struct.pack("<I", public)), (5, struct.pack("<B", 1)),
            (6, cis), (7, struct.pack("<Q", int(time.time())))]))


class Cis(socketserver.StreamRequestHandler):
    def handle(self):
        ip = self.client_address[0]
        while True:
            got = read_packet(self.rfile)
            if not got:
                return
            command, fields = got
            task = fields.get(1, bytes(8))
            if command == 80:
                peers = b"".join(peer_info(p_ip, p_port, 1) for p_ip, p_port in self.server.peers if p_ip != ip)
                reply = packet(80, VERSION, [(0, struct.pack("<I", 0)), (1, task), (2, peers), (3, b"")])
            elif command == 86:
                reply = packet(86, VERSION, [(0, struct.pack("<I", 0)), (1, task), (2, b"")])
            elif command in (87, 89):
                reply = packet(command, VERSION, [(0, struct.pack("<I", 0))])
            else:
                return
            self.wfile.write(reply)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ip", required=True)
    parser.add_argument("--ris-port", type=int, default=8001)
    parser.add_argument("--cis-port", type=int, default=8002)
    parser.add_argument("--peer", action="append", default=[])
    args = parser.parse_args()
    ris = Server((args.ip, args.ris_port), Ris)
    cis = Server((args.ip, args.cis_port), Cis)
    ris.cis = (args.ip, args.cis_port)
    cis.peers = [(p.split(":")[0], int(p.split(":")[1])) for p in args.peer]
    threading.Thread(target=cis.serve_forever, daemon=True).start()
    ris.serve_forever()


if __name__ == "__main__":
    main()
