"""The daemon's WebSocket server against an independent client (the websockets package)."""

import argparse
import asyncio
import http.client
import json
import sys
import unittest

import websockets

from daemon_ws import Daemon, Launcher, add_arguments

DAEMON = None
LAUNCHER = None
PING = json.dumps({"action": 0})
PONG = '{"data":"Pong","action":0,"errorCode":0}'
STOP = json.dumps({"action": 2147483647})


def run(coroutine, timeout=20):
    return asyncio.run(asyncio.wait_for(coroutine, timeout))


class WebSocketServer(unittest.TestCase):
    def setUp(self):
        self.daemon = Daemon(DAEMON, LAUNCHER)

    def tearDown(self):
        self.daemon.close()

    def stop_daemon(self):
        async def stop():
            async with websockets.connect(self.daemon.url) as ws:
                await ws.send(STOP)
                self.assertEqual(await ws.recv(), '{"data":"OK","action":2147483647,"errorCode":0}')
        run(stop())
        self.assertEqual(self.daemon.wait_exit(), 0)

    def test_fragmented_message_and_pings_from_a_client_that_sends_nothing_else(self):
        async def scenario():
            async with websockets.connect(self.daemon.url, ping_interval=None) as ws:
                for payload in (b"", b"are you there", bytes(range(125))):
                    waiter = await ws.ping(payload)
                    await asyncio.wait_for(waiter, 5)
                await ws.send(['{"act', 'ion"', ':0}'])
                self.assertEqual(await ws.recv(), PONG)
                # Replies come one text message per request, in order.
                await ws.send('{"action":4}')
                await ws.send(PING)
                version = json.loads(await ws.recv())
                self.assertEqual(version["action"], 4)
                self.assertEqual(await ws.recv(), PONG)
        run(scenario())
        self.stop_daemon()

    def test_close_handshake_answers_1000_with_its_description(self):
        async def scenario():
            ws = await websockets.connect(self.daemon.url)
            await ws.send(PING)
            await ws.recv()
            await ws.close(code=1001, reason="page unloads")
            self.assertEqual(ws.close_code, 1000)
            self.assertEqual(ws.close_reason, "Client closed connection")
        run(scenario())
        self.assertTrue(self.daemon.wait_log("[Info] Client gửi tín hiệu đóng. Đang ngắt kết nối."))
        self.stop_daemon()

    def test_sub_protocol_offers_are_answered_with_none(self):
        async def scenario():
            async with websockets.connect(self.daemon.url, subprotocols=["chat", "superchat"]) as ws:
                self.assertIsNone(ws.subprotocol)
                await ws.send(PING)
                self.assertEqual(await ws.recv(), PONG)
        run(scenario())
        self.stop_daemon()

    def test_plain_http_gets_an_empty_400(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.daemon.port, timeout=5)
        connection.request("GET", "/index.html")
        response = connection.getresponse()
        self.assertEqual(response.status, 400)
        self.assertEqual(response.read(), b"")
        connection.close()
        self.stop_daemon()

    def test_undecodable_messages_close_only_that_client(self):
        async def scenario():
            for message, code in (("not json", 1007), ("null", 1007), ("", 1007), (b"{}", 1003)):
                async with websockets.connect(self.daemon.url) as ws:
                    await ws.send(message)
                    with self.assertRaises(websockets.exceptions.ConnectionClosedError) as closed:
                        await ws.recv()
                    self.assertEqual(closed.exception.rcvd.code, code)
        run(scenario())
        self.assertTrue(self.daemon.wait_log("Failed to deserialize message. Output is null."))
        self.assertIsNone(self.daemon.process.poll())
        self.stop_daemon()

    def test_second_client_waits_for_the_first(self):
        async def scenario():
            first = await websockets.connect(self.daemon.url)
            second = asyncio.ensure_future(websockets.connect(self.daemon.url))
            done, _ = await asyncio.wait({second}, timeout=0.3)
            self.assertFalse(done, "second client was accepted while the first was connected")
            await first.send(PING)
            self.assertEqual(await first.recv(), PONG)
            await first.close()
            ws = await asyncio.wait_for(second, 5)
            await ws.send(PING)
            self.assertEqual(await ws.recv(), PONG)
            await ws.close()
        run(scenario())
        self.stop_daemon()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    add_arguments(parser)
    parser.add_argument("daemon")
    args, rest = parser.parse_known_args()
    DAEMON, LAUNCHER = args.daemon, Launcher.from_args(args)
    unittest.main(argv=sys.argv[:1] + rest, verbosity=2)
