#!/usr/bin/env python3
"""A TCP relay on loopback that behaves like a long, narrow link.

    delay_relay.py LISTEN_PORT TARGET_PORT ONE_WAY_MS MBIT [SECONDS]
    delay_relay.py copy BYTES ONE_WAY_MS MBIT


Every connection accepted on 127.0.0.1:LISTEN_PORT is forwarded to
127.0.0.1:TARGET_PORT. Each direction is paced at MBIT megabits per second
and each byte is delivered ONE_WAY_MS after it left the pacer, so a
request and its answer take 2 x ONE_WAY_MS plus their transmission time.
What a direction holds (on the wire plus a queue of a quarter of a
megabyte) is bounded: beyond it the sender is no longer read, as a full
link would push back. For kernels without netem: a user-space stand-in.
The relay stops by itself after SECONDS (default 3600) or when killed.

"copy" sends BYTES through a relay of its own, from one socket to another,
and prints the seconds it took: the floor of any transfer over that link.
"""

import asyncio
import socket
import subprocess
import sys
import threading
import time

CHUNK = 16384
QUEUE = 256 * 1024


class Direction:
    """One way of one relayed connection."""

    def __init__(self, loop, delay, rate, reader, writer):
        self.loop = loop
        self.delay = delay
        self.rate = rate   # bytes per second
        self.reader = reader
        self.writer = writer
        self.free_at = 0.0   # when the pacer has sent everything so far
        self.held = 0
        self.limit = int(rate * delay) + QUEUE
        self.room = asyncio.Event()
        self.room.set()

    async def run(self):
        try:
            while True:
                await self.room.wait()
                data = await self.reader.read(CHUNK)
                if not data:
                    break
                now = self.loop.time()
                self.free_at = max(now, self.free_at) + len(data) / self.rate
                self.held += len(data)
                if self.held >= self.limit:
                    self.room.clear()
                self.loop.call_at(self.free_at + self.delay, self.deliver, data)
            # The end of the stream arrives after the last byte (timers of
            # the same time may run in any order).
            self.loop.call_at(max(self.loop.time(), self.free_at) + self.delay + 0.001, self.finish)
        except (ConnectionError, OSError):
            self.finish()

    def deliver(self, data):
        self.held -= len(data)
        if self.held < self.limit:
            self.room.set()
        if not self.writer.is_closing():
            self.writer.write(data)

    def finish(self):
        if not self.writer.is_closing():
            try:
                self.writer.write_eof()
            except (OSError, RuntimeError):
                self.writer.close()


async def main():
    listen, target, one_way_ms, mbit = (int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]),
                                        float(sys.argv[4]))
    seconds = float(sys.argv[5]) if len(sys.argv) > 5 else 3600.0
    loop = asyncio.get_running_loop()
    delay = one_way_ms / 1000.0
    rate = mbit * 1e6 / 8

    async def relay(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
        except OSError:
            client_writer.close()
            return
        ways = [Direction(loop, delay, rate, client_reader, server_writer),
                Direction(loop, delay, rate, server_reader, client_writer)]
        await asyncio.gather(*(w.run() for w in ways))
        await asyncio.sleep(delay + 1)
        client_writer.close()
        server_writer.close()

    server = await asyncio.start_server(relay, "127.0.0.1", listen)
    print("ready", flush=True)
    async with server:
        await asyncio.sleep(seconds)


def copy(total, one_way_ms, mbit):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    relay_port = probe.getsockname()[1]
    probe.close()
    relay = subprocess.Popen([sys.executable, __file__, str(relay_port), str(listener.getsockname()[1]),
                              one_way_ms, mbit, "600"], stdout=subprocess.PIPE)
    try:
        relay.stdout.readline()
        got = [0]

        def sink():
            conn, _ = listener.accept()
            while True:
                data = conn.recv(1 << 20)
                if not data:
                    break
                got[0] += len(data)
            conn.close()

        reader = threading.Thread(target=sink)
        reader.start()
        out = socket.create_connection(("127.0.0.1", relay_port))
        block = b"x" * (1 << 20)
        start = time.monotonic()
        sent = 0
        while sent < total:
            n = min(len(block), total - sent)
            out.sendall(block[:n])
            sent += n
        out.shutdown(socket.SHUT_WR)
        reader.join(600)
        seconds = time.monotonic() - start
        out.close()
        if got[0] != total:
            print("copy lost bytes: %d of %d" % (got[0], total))
            return 1
        print("%.2f" % seconds)
        return 0
    finally:
        relay.kill()
        relay.wait()


if __name__ == "__main__":
    if sys.argv[1] == "copy":
        sys.exit(copy(int(sys.argv[2]), sys.argv[3], sys.argv[4]))
    asyncio.run(main())
