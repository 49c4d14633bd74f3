"""A slow link for the benchmarks: a TCP forwarder on 127.0.0.1 that holds
every chunk it reads DELAY_MS milliseconds before passing it on, in each
direction, so a reply comes back 2 x DELAY_MS after its command.

Usage: slowlink.py TARGET_PORT DELAY_MS
Listens on a free port of 127.0.0.1, prints that port once it listens and
forwards each connection to 127.0.0.1:TARGET_PORT. Chunks are held, not
queued behind one another: what a client sends in one go (pipelined
commands) arrives in one go, as over a network with latency and plenty of
bandwidth. A half-close is passed on like data. Ends on SIGTERM.

This stands in for `tc qdisc ... netem delay`, which needs the sch_netem
kernel module that this machine's kernel does not have. One difference:
the TCP handshake itself is not delayed, which saves about one round trip
per connection and nothing per message.
"""
import asyncio
import collections
import signal
import socket
import sys


class Direction:
    """Chunks read on one side, written to the other side's transport once
    their time has come. An empty chunk stands for the end of the stream."""

    def __init__(self, loop, delay, link):
        self.loop = loop
        self.delay = delay
        self.link = link
        self.chunks = collections.deque()
        self.timer = None
        self.out = None
        self.ended = False

    def attach(self, transport):
        self.out = transport
        self.flush()

    def push(self, data):
        self.chunks.append((self.loop.time() + self.delay, data))
        self.schedule()

    def schedule(self):
        if self.timer is None and self.chunks and self.out is not None:
            self.timer = self.loop.call_at(self.chunks[0][0], self.flush)

    def flush(self):
        self.timer = None
        if self.out is None:
            return
        # The loop may run a timer a hair before its time.
        now = self.loop.time() + 1e-4
        while self.chunks and self.chunks[0][0] <= now:
            _, data = self.chunks.popleft()
            if self.out.is_closing():
                self.chunks.clear()
                self.ended = True
                self.link.ended()
                return
            if data:
                self.out.write(data)
            else:
                try:
                    self.out.write_eof()
                except OSError:
                    pass  # the far side has gone already
                self.ended = True
                self.link.ended()
        self.schedule()


class Link:
    """One client connection and its connection to the target."""

    def __init__(self, loop, delay):
        self.up = Direction(loop, delay, self)    # client to target
        self.down = Direction(loop, delay, self)  # target to client
        self.transports = []
        self.connecting = None

    def ended(self):
        if self.up.ended and self.down.ended:
            self.close()

    def close(self):
        for t in self.transports:
            t.close()

    def abort(self):
        for t in self.transports:
            t.abort()


class Side(asyncio.Protocol):
    def __init__(self, link, reads, writes):
        self.link = link
        self.reads = reads
        self.writes = writes

    def connection_made(self, transport):
        # No Nagle here: a held chunk must leave the moment its time comes.
        transport.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.link.transports.append(transport)
        self.writes.attach(transport)

    def data_received(self, data):
        self.reads.push(data)

    def eof_received(self):
        self.reads.push(b"")
        return True  # the other direction may still carry data

    def connection_lost(self, exc):
        if exc is not None:
            self.link.abort()


async def main():
    target, delay = int(sys.argv[1]), int(sys.argv[2]) / 1000
    loop = asyncio.get_running_loop()

    def client():
        link = Link(loop, delay)
        side = Side(link, link.up, link.down)

        async def connect():
            try:
                await loop.create_connection(lambda: Side(link, link.down, link.up), "127.0.0.1", target)
            except OSError:
                link.abort()

        link.connecting = loop.create_task(connect())
        return side

    server = await loop.create_server(client, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    stop = loop.create_future()
    loop.add_signal_handler(signal.SIGTERM, stop.set_result, None)
    await stop
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
