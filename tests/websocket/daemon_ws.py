"""Starts the built daemon in WebSocket mode with a private TMPDIR and XDG_CONFIG_HOME."""

import os
import pathlib
import shutil
import socket
import subprocess
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Daemon:
    def __init__(self, executable):
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="quillmark-ws-"))
        self.port = free_port()
        env = dict(os.environ)
        env.pop("QUILLMARK_VERBOSE_LOGGING", None)
        env["TMPDIR"] = str(self.root / "tmp")
        env["XDG_CONFIG_HOME"] = str(self.root / "config")
        (self.root / "tmp").mkdir()
        with open(self.root / "stderr.txt", "wb") as stderr:
            self.process = subprocess.Popen(
                [executable, "quillmark://start-ws?port=%d" % self.port],
                env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr)
        self.url = "ws://127.0.0.1:%d/" % self.port
        self._wait_listening()

    def _wait_listening(self, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("daemon ended at start with %s" % self.process.returncode)
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.01)
        raise RuntimeError("daemon did not listen within %ss" % timeout)

    def logs(self):
        folder = self.root / "config" / "Quillmark" / "Logs"
        return "".join(p.read_text(encoding="utf-8", errors="replace")
                       for p in sorted(folder.glob("*.log")))

    def wait_log(self, text, timeout=5):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.logs():
                return True
            time.sleep(0.02)
        return False

    def wait_exit(self, timeout=10):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if not os.environ.get("QUILLMARK_KEEP_TEST_DIRS"):
            shutil.rmtree(self.root, ignore_errors=True)
