#!/usr/bin/env python3
"""Headless Chromium loads the test extension, which starts the daemon as its native-messaging
host (registered in the test's own --user-data-dir), pings, uploads, downloads and checks the
bytes, then disconnects. Passes when the extension's verdict is good, the uploaded file in the
daemon's temporary folder has the same SHA-256, and the daemon ended with exit code 0.
With --wine the daemon is the Windows build, which the host wrapper starts under Wine."""
import argparse
import base64
import hashlib
import http.server
import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HOST_NAME = "com.quillmark.browser_nm_test"
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from daemon_launcher import Launcher, add_arguments  # noqa: E402


def extension_id(manifest):
    # Chromium derives an extension's id from its public key: SHA-256, first 16 bytes, a-p.
    digest = hashlib.sha256(base64.b64decode(manifest["key"])).hexdigest()[:32]
    return "".join(chr(ord("a") + int(c, 16)) for c in digest)


class Verdict(http.server.BaseHTTPRequestHandler):
    received = None
    arrived = threading.Event()

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        Verdict.received = json.loads(body)
        Verdict.arrived.set()
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--chromium", default=shutil.which("chromium") or "chromium")
    parser.add_argument("--file-size", type=int, default=1_300_000)
    parser.add_argument("--chunk-bytes", type=int, default=393_216)
    parser.add_argument("--timeout", type=float, default=90)
    add_arguments(parser)
    args = parser.parse_args()
    launcher = Launcher.from_args(args)

    root = tempfile.mkdtemp(prefix="quillmark-browser-nm-")
    keep = os.environ.get("QUILLMARK_KEEP_TEST_DIRS") == "1"
    dirs = {name: os.path.join(root, name) for name in ("ext", "profile", "home", "tmp", "config")}
    for d in dirs.values():
        os.makedirs(d)
    shutil.copytree(os.path.join(HERE, "extension"), dirs["ext"], dirs_exist_ok=True)
    with open(os.path.join(dirs["ext"], "manifest.json")) as f:
        ext_id = extension_id(json.load(f))

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Verdict)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with open(os.path.join(dirs["ext"], "config.js"), "w") as f:
        f.write("const HOST_NAME = %s;\nconst REPORT_URL = %s;\nconst FILE_SIZE = %d;\nconst CHUNK_BYTES = %d;\n" % (
            json.dumps(HOST_NAME), json.dumps("http://127.0.0.1:%d/verdict" % server.server_port),
            args.file_size, args.chunk_bytes))

    # The browser starts the host; a wrapper gives it its folders and records its exit code.
    exit_file = os.path.join(root, "daemon-exit-code")
    wrapper = os.path.join(root, "host.sh")
    daemon_env = launcher.environment({}, dirs["tmp"], dirs["config"])
    with open(wrapper, "w") as f:
        f.write("#!/bin/sh\n")
        for name, value in sorted(daemon_env.items()):
            f.write("export %s=%s\n" % (name, shlex.quote(value)))
        f.write('%s "$@" 2>>%s\necho $? >%s\n' % (
            " ".join(shlex.quote(part) for part in launcher.command(args.daemon)),
            shlex.quote(os.path.join(root, "daemon-stderr.txt")), shlex.quote(exit_file)))
    os.chmod(wrapper, 0o755)
    hosts = os.path.join(dirs["profile"], "NativeMessagingHosts")
    os.makedirs(hosts)
    with open(os.path.join(hosts, HOST_NAME + ".json"), "w") as f:
        json.dump({"name": HOST_NAME, "description": "Quillmark test host", "path": wrapper,
                   "type": "stdio", "allowed_origins": ["chrome-extension://%s/" % ext_id]}, f)

    env = dict(os.environ, HOME=dirs["home"], TMPDIR=dirs["tmp"], XDG_CONFIG_HOME=dirs["config"])
    env.pop("QUILLMARK_VERBOSE_LOGGING", None)
    browser_log = open(os.path.join(root, "chromium.txt"), "w")
    browser = subprocess.Popen(
        [args.chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--no-first-run",
         "--user-data-dir=" + dirs["profile"], "--load-extension=" + dirs["ext"], "about:blank"],
        env=env, stdout=browser_log, stderr=subprocess.STDOUT, start_new_session=True)

    failures = []
    try:
        if not Verdict.arrived.wait(args.timeout):
            failures.append("no verdict from the extension within %ss" % args.timeout)
        else:
            verdict = Verdict.received
            print("verdict:", json.dumps(verdict))
            if not verdict.get("ok"):
                failures.append("the extension reports: %s" % verdict.get("error"))
            else:
                stored = os.path.join(dirs["tmp"], "Quillmark", verdict["fileName"])
                if not os.path.isfile(stored):
                    failures.append("no uploaded file at %s" % stored)
                else:
                    with open(stored, "rb") as f:
                        digest = hashlib.sha256(f.read()).hexdigest().upper()
                    if digest != verdict["sha256"] or os.path.getsize(stored) != args.file_size:
                        failures.append("stored file differs: %s, %d bytes" % (digest, os.path.getsize(stored)))
        # Chromium gives a host a moment to leave on its own before it ends it.
        if not wait_for(lambda: os.path.exists(exit_file) and open(exit_file).read().strip(), 15):
            failures.append("the daemon did not end after the extension disconnected")
        else:
            code = open(exit_file).read().strip()
            print("daemon exit code:", code)
            if code != "0":
                failures.append("daemon exit code %s" % code)
    finally:
        try:
            os.killpg(browser.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        browser.wait(timeout=30)
        server.shutdown()
        browser_log.close()

    if failures:
        for name in ("daemon-stderr.txt", "chromium.txt"):
            path = os.path.join(root, name)
            if os.path.exists(path):
                print("---- %s (tail)" % name)
                lines = [l for l in open(path, errors="replace") if "dbus" not in l]
                print("".join(lines[-40:]))
        logs = os.path.join(dirs["config"], "Quillmark", "Logs")
        for name in sorted(os.listdir(logs)) if os.path.isdir(logs) else []:
            print("---- log %s (tail)" % name)
            print("".join(open(os.path.join(logs, name), errors="replace").readlines()[-20:]))
        print("FAILED:\n  " + "\n  ".join(failures))
        print("kept in", root)
        return 1
    if not keep:
        shutil.rmtree(root, ignore_errors=True)
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
