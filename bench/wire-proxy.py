#!/usr/bin/env python3
"""Loopback TCP proxy that counts the bytes it relays and can slow them to a
link's rate or delay them by a link's latency, for the benchmarks'
bytes-on-the-wire, throttled and latency figures.

Usage: wire-proxy.py --target HOST:PORT [--rate BYTES_PER_SECOND] [--rtt SECONDS]

Listens on a free port of 127.0.0.1 and prints "listening on PORT" once ready.
Each accepted connection is relayed to the target. With --rate, each
direction is one shared link of that rate (full duplex, as on a real line):
all connections queue on it. With --rtt, every byte reaches the other side
half that time after it arrived, in each direction, so that a request and
its answer take one round trip more, however many are on their way at once
(as on a long line, not a slow one); a new connection costs one round trip
more too, as its handshake would. On SIGTERM or SIGINT it prints
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


async def delayed_relay(reader, writer, link, read_size, delay):
    """Relays like relay(), each piece sent `delay` seconds after it arrived;
    reading goes on meanwhile, so pieces in flight overlap."""
    loop = asyncio.get_running_loop()
    pieces = asyncio.Queue()

    async def send():
        try:
            while True:
                due, data = await pieces.get()
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                if data is None:
                    break
                writer.write(data)
                await writer.drain()
            if writer.can_write_eof():
                writer.write_eof()
        except (ConnectionError, OSError):
            pass

    sender = asyncio.ensure_future(send())
    try:
        while True:
            data = await reader.read(read_size)
            if not data:
                break
            await link.carry(len(data))
            pieces.put_nowait((loop.time() + delay, data))
    except (ConnectionError, OSError):
        pass
    pieces.put_nowait((loop.time() + delay, None))
    await sender


async def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--target", required=True)
    parser.add_argument("--rate", type=float, default=0.0)
    parser.add_argument("--rtt", type=float, default=0.0)
    args = parser.parse_args()
    host, port = args.target.rsplit(":", 1)
    down, up = Link(args.rate), Link(args.rate)
    connections = 0
    read_size = THROTTLED_READ_SIZE if args.rate else READ_SIZE

    async def accept(client_reader, client_writer):
        nonlocal connections
        connections += 1
        if args.rtt:
            await asyncio.sleep(args.rtt)  # the handshake's round trip
        try:
            server_reader, server_writer = await asyncio.open_connection(host, int(port))
        except OSError:
            client_writer.close()
            return
        if args.rtt:
            await asyncio.gather(delayed_relay(client_reader, server_writer, up, read_size, args.rtt / 2),
                                 delayed_relay(server_reader, client_writer, down, read_size, args.rtt / 2))
        else:
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
