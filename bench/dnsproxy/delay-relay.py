#!/usr/bin/env python3
"""delay-relay.py <listen address> <delay ms> <port>=<upstream address>:<port> ...

Relays TCP streams and UDP datagrams on <listen address>, each given port to
its upstream, and holds every chunk (TCP) or datagram (UDP) for <delay ms> in
each direction: a network path with that one-way delay, where netem is not
available. Order within a stream is kept; a close travels with the same delay.
Benchmark tooling only, loopback inside the bench's namespace."""
import asyncio
import socket
import sys


async def pump(reader, writer, delay):
    loop = asyncio.get_running_loop()
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            loop.call_later(delay, writer.write, data)
    except (ConnectionError, OSError):
        pass
    loop.call_later(delay, writer.close)


def tcp_handler(upstream, delay):
    async def handle(reader, writer):
        try:
            up_reader, up_writer = await asyncio.open_connection(*upstream)
        except OSError:
            writer.close()
            return
        for w in (writer, up_writer):
            w.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        await asyncio.gather(pump(reader, up_writer, delay), pump(up_reader, writer, delay))

    return handle


class UdpToUpstream(asyncio.DatagramProtocol):
    """One per client address: carries that client's datagrams both ways."""

    def __init__(self, front, client, delay):
        self.front, self.client, self.delay = front, client, delay

    def datagram_received(self, data, _):
        asyncio.get_running_loop().call_later(self.delay, self.front.sendto, data, self.client)


class UdpFront(asyncio.DatagramProtocol):
    def __init__(self, upstream, delay):
        self.upstream, self.delay, self.clients = upstream, delay, {}

    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, client):
        asyncio.get_running_loop().call_later(self.delay, self.forward, data, client)

    def forward(self, data, client):
        if client not in self.clients:
            if len(self.clients) > 1024:
                oldest = self.clients.pop(next(iter(self.clients)))
                if oldest is not None:
                    oldest.close()
            self.clients[client] = None
            asyncio.ensure_future(self.open(data, client))
            return
        toward = self.clients[client]
        # A datagram while its client's socket is still being opened is lost, as on a network.
        if toward is not None:
            toward.sendto(data)

    async def open(self, data, client):
        loop = asyncio.get_running_loop()
        transport, _ = await loop.create_datagram_endpoint(
            lambda: UdpToUpstream(self.transport, client, self.delay), remote_addr=self.upstream)
        self.clients[client] = transport
        transport.sendto(data)


async def main():
    address, delay = sys.argv[1], int(sys.argv[2]) / 1000.0
    loop = asyncio.get_running_loop()
    for spec in sys.argv[3:]:
        port, target = spec.split("=")
        host, target_port = target.rsplit(":", 1)
        upstream = (host, int(target_port))
        await asyncio.start_server(tcp_handler(upstream, delay), address, int(port))
        await loop.create_datagram_endpoint(lambda u=upstream: UdpFront(u, delay), local_addr=(address, int(port)))
    print("relaying", flush=True)
    await asyncio.Event().wait()


asyncio.run(main())
