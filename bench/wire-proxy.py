#!/usr/bin/env python3
"""Loopback TCP proxy that counts the bytes it relays and can slow them to a
link's rate, for the benchmarks' bytes-on-the-wire and throttled figures.

Usage: wire-proxy.py --target HOST:PORT [--rate BYTES_PER_SECOND]

Listens on a free port of 127.0.0.1 and prints "listening on PORT" once ready.
Each accepted connection is relayed to the target. With --rate, each
direction is one shared link of that rate (full duplex, as on a real line):
all connections queue on it. On SIGTERM or SIGINT it prints
"down BYTES up BYTES connections N" (down: target to client) and exits.
Bytes are TCP payload: HTTP headers and bodies, not IP or TCP headers."""

import argparse
import asyncio
import signal
import sys

READ_SIZE = 256 * 1024
THROTTLED_READ_SIZE = 64 * 1024
# Sleeps end late, by a millisecond or more on a busy machine: a sender late
# by up to this much catches up, so that lateness does not add up. After an
# idle spell the same allowance lets that much through at once (62.5 kB at
# 100 Mbit/s), a burst no larger than a real line's buffers.
CATCH_UP_SECONDS = 0.005


class Link:
    def __init__(self, rate):
        self.rate = rate
        self.free_at = 0.0
        self.bytes = 0

    async def carry(self, count):
        self.bytes += count
        if not self.rate:
            return
        loop = asyncio.get_running_loop()
        now = loop.time()
        self.free_at = max(now - CATCH_UP_SECONDS, self.free_at) + count / self.rate
        delay = self.free_at - now
        if delay > 0:
            await asyncio.sleep(delay)


async def relay(reader, writer, link, read_size):
    try:
        while True:
            data = await reader.read(read_size)
            if not data:
                break
            await link.carry(len(data))
            writer.write(data)
            await writer.drain()
        if writer.can_write_eof():
            writer.write_eof()
    except (ConnectionError, OSError):
        pass


async def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--target", required=True)
    parser.add_argument("--rate", type=float, default=0.0)
    args = parser.parse_args()
    host, port = args.target.rsplit(":", 1)
    down, up = Link(args.rate), Link(args.rate)
    connections = 0
    read_size = THROTTLED_READ_SIZE if args.rate else READ_SIZE

    async def accept(client_reader, client_writer):
        nonlocal connections
        connections += 1
        try:
            server_reader, server_writer = await asyncio.open_connection(host, int(port))
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(relay(client_reader, server_writer, up, read_size),
                             relay(server_reader, client_writer, down, read_size))
        for w in (client_writer, server_writer):
            w.close()

    server = await asyncio.start_server(accept, "127.0.0.1", 0)
    print("listening on %d" % server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    for s in (signal.SIGTERM, signal.SIGINT):
        asyncio.get_running_loop().add_signal_handler(s, stop.set)
    await stop.wait()
    server.close()
    print("down %d up %d connections %d" % (down.bytes, up.bytes, connections), flush=True)


if __name__ == "__main__":
    asyncio.run(main())
    sys.exit(0)
