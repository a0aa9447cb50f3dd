"""A real browser page against the daemon: ping, upload, download, stop."""

import argparse
import http.server
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from daemon_ws import Daemon, Launcher, add_arguments

DAEMON = None
CHROMIUM = None
LAUNCHER = None
PAGE = pathlib.Path(__file__).resolve().parent / "browser" / "page.html"


class PageServer(http.server.ThreadingHTTPServer):
    """Serves the page from 127.0.0.1 and takes the page's verdict."""

    def __init__(self):
        self.verdict = None
        self.arrived = threading.Event()
        super().__init__(("127.0.0.1", 0), PageHandler)


class PageHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = PAGE.read_bytes()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        self.server.verdict = self.rfile.read(length).decode("utf-8", "replace")
        self.send_response(204)
        self.end_headers()
        self.server.arrived.set()

    def log_message(self, *args):
        pass


class Browser(unittest.TestCase):
    def test_page_pings_uploads_downloads_and_stops(self):
        daemon = Daemon(DAEMON, LAUNCHER)
        server = PageServer()
        threading.Thread(target=server.serve_forever, daemon=True).start()
        profile = tempfile.mkdtemp(prefix="quillmark-chromium-")
        url = "http://127.0.0.1:%d/page.html?port=%d" % (server.server_address[1], daemon.port)
        browser = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--no-first-run",
             "--user-data-dir=" + profile, url],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(server.arrived.wait(60), "the page gave no verdict")
            self.assertEqual(server.verdict, "PASS")
            self.assertEqual(daemon.wait_exit(), 0)
        finally:
            browser.kill()
            browser.wait()
            server.shutdown()
            server.server_close()
            daemon.close()
            shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    add_arguments(parser)
    parser.add_argument("daemon")
    parser.add_argument("chromium")
    args, rest = parser.parse_known_args()
    DAEMON, CHROMIUM, LAUNCHER = args.daemon, args.chromium, Launcher.from_args(args)
    unittest.main(argv=sys.argv[:1] + rest, verbosity=2)
