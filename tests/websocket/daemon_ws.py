"""Starts the built daemon in WebSocket mode with private temporary and configuration folders
(TMPDIR and XDG_CONFIG_HOME, or under Wine TEMP and the roaming AppData folder)."""

import os
import pathlib
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "support"))
from daemon_launcher import Launcher, add_arguments  # noqa: E402,F401


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Daemon:
    def __init__(self, executable, launcher=None):
        launcher = launcher or Launcher()
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="quillmark-ws-"))
        self.port = free_port()
        # The roaming folder must exist for Windows to hand it out.
        for folder in ("tmp", "config"):
            (self.root / folder).mkdir()
        env = launcher.environment(os.environ, self.root / "tmp", self.root / "config")
        with open(self.root / "stderr.txt", "wb") as stderr:
            self.process = subprocess.Popen(
                launcher.command(executable, "quillmark://start-ws?port=%d" % self.port),
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
