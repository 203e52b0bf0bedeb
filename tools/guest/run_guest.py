#!/usr/bin/env python3
"""Boots the test guest under QEMU and plays its readers and cables.

korva-reader-sim runs here, on the host: one behind the guest's second UART
(ttyS1), one behind QEMU's FTDI USB serial adapter (ttyUSB0). The guest
(tools/guest/steps.sh) asks on its console for the adapter to be pulled
(QMP device_del) or plugged back to a fresh reader (device_add), reports each
step, and powers off. Prints each step's result and a closing line
"guest: N passed, M failed"; the exit status is 1 when a step failed or did
not report, with the guest's console printed.
"""
import argparse
import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import time

# The readers the guest may ask for, as korva-reader-sim arguments. Timing
# is not what these steps prove: the line is not paced.
READERS = {
    # switched on and on maintenance hold
    "hold": ["--profile", "default,on-hold"],
    # off until the line is first set to one of its speeds (korva-maint's
    # opening of ttyUSB0), switched on 5 s later: for the built-in script,
    # which begins with "no" a second after the power-off question
    "script": ["--profile", "default,power-on-ms=5000"],
    # never restarts (not within a minute) after accepting the TLA removal:
    # charge 5 waits for it, blinking
    "norestart": ["--profile", "default,on-hold,restart-ms=60000"],
}


class Qmp:
    """A QMP client: commands, and the events that arrive meanwhile."""

    def __init__(self, path, seconds=20):
        end = time.time() + seconds
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.time() > end:
                    raise
                time.sleep(0.1)
        self.buffer = b""
        self.events = []
        self.read_message(10)  # the greeting
        self.command("qmp_capabilities")

    def read_message(self, seconds):
        end = time.time() + seconds
        while b"\n" not in self.buffer:
            left = end - time.time()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                return None
            chunk = self.sock.recv(65536)
            if not chunk:
                raise OSError("QMP connection closed")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def command(self, name, **arguments):
        self.sock.sendall(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
        while True:
            message = self.read_message(20)
            if message is None:
                raise OSError("no answer to " + name)
            if "event" in message:
                self.events.append(message)
            elif "return" in message or "error" in message:
                return message

    def wait_event(self, name, device, seconds):
        end = time.time() + seconds
        while True:
            for i, e in enumerate(self.events):
                if e["event"] == name and e.get("data", {}).get("device") == device:
                    del self.events[i]
                    return True
            message = self.read_message(max(0, end - time.time()))
            if message is None:
                return False
            if "event" in message:
                self.events.append(message)


class Reader:
    """A korva-reader-sim on a pty, linked at path."""

    def __init__(self, sim, kind, path, log):
        if os.path.lexists(path):
            os.unlink(path)
        self.log = open(log, "w")
        self.process = subprocess.Popen(
            [sim, "--link", path, "--no-pacing"] + READERS[kind],
            stdout=self.log,
            stderr=subprocess.STDOUT,
        )
        end = time.time() + 10
        while not os.path.exists(path):
            if time.time() > end or self.process.poll() is not None:
                raise OSError("korva-reader-sim made no pty at " + path)
            time.sleep(0.05)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--kernel", required=True)
    parser.add_argument("--initrd", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--timeout", type=float, default=290)
    args = parser.parse_args()
    work = args.work
    console_log = os.path.join(work, "console.log")
    readers = []
    generation = [0]

    def new_reader(kind):
        generation[0] += 1
        link = os.path.join(work, "reader%d" % generation[0])
        reader = Reader(args.sim, kind, link, os.path.join(work, "sim%d-%s.log" % (generation[0], kind)))
        readers.append(reader)
        return reader, link

    uart_reader, uart_link = new_reader("hold")
    usb_reader, usb_link = new_reader("hold")
    qmp_path = os.path.join(work, "qmp.sock")
    qemu = subprocess.Popen(
        [
            "qemu-system-x86_64", "-M", "pc", "-m", "256", "-nographic", "-no-reboot",
            "-monitor", "none", "-nic", "none",
            "-serial", "stdio",
            "-chardev", "serial,id=r1,path=" + uart_link, "-serial", "chardev:r1",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", "serial,id=r2,path=" + usb_link,
            "-device", "usb-serial,chardev=r2,id=adapter",
            "-qmp", "unix:%s,server=on,wait=off" % qmp_path,
            "-kernel", args.kernel, "-initrd", args.initrd,
            "-append", "console=ttyS0 quiet panic=-1",
        ],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
    )
    started = time.time()
    plan, results, errors = [], {}, []
    ended = False
    adapter = {"present": True, "deleting": False}
    try:
        qmp = Qmp(qmp_path)

        def pull():
            if adapter["present"] and not adapter["deleting"]:
                qmp.command("device_del", id="adapter")
                adapter["deleting"] = True

        def plug(kind):
            nonlocal usb_reader
            pull()
            if adapter["deleting"]:
                if not qmp.wait_event("DEVICE_DELETED", "adapter", 10):
                    raise OSError("the adapter was not removed")
                adapter["present"] = adapter["deleting"] = False
            qmp.command("chardev-remove", id="r2")
            usb_reader.stop()
            usb_reader, link = new_reader(kind)
            answer = qmp.command(
                "chardev-add", id="r2", backend={"type": "serial", "data": {"device": link}}
            )
            if "error" in answer:
                raise OSError("chardev-add: %s" % answer["error"])
            answer = qmp.command("device_add", driver="usb-serial", chardev="r2", id="adapter")
            if "error" in answer:
                raise OSError("device_add: %s" % answer["error"])
            adapter["present"] = True

        pattern = re.compile(r"GUEST-([A-Z]+) ?(.*)")
        buffer = b""
        with open(console_log, "wb") as log:
            while True:
                left = args.timeout - (time.time() - started)
                if left <= 0:
                    errors.append("the guest did not finish within %d s" % args.timeout)
                    break
                if not select.select([qemu.stdout], [], [], min(left, 1))[0]:
                    continue
                chunk = os.read(qemu.stdout.fileno(), 65536)
                if not chunk:
                    break
                log.write(chunk)
                log.flush()
                buffer += chunk
                while b"\n" in buffer:
                    raw, buffer = buffer.split(b"\n", 1)
                    line = raw.decode("latin-1").replace("\r", "")
                    m = pattern.search(line)
                    if not m:
                        continue
                    kind, rest = m.group(1), m.group(2).strip()
                    if kind == "PLAN":
                        plan = rest.split()
                    elif kind == "STEP":
                        name, _, outcome = rest.partition(" ")
                        verdict, _, detail = outcome.partition(" ")
                        results[name] = verdict
                        print("guest: %-4s %s: %s (%ds)" % (verdict, name, detail, time.time() - started),
                              flush=True)
                    elif kind == "REQ":
                        words = rest.split()
                        if words[:1] == ["pull"]:
                            pull()
                        elif words[:1] == ["plug"] and len(words) == 2 and words[1] in READERS:
                            plug(words[1])
                        else:
                            errors.append("unknown request: " + rest)
                    elif kind == "ERROR":
                        errors.append(rest)
                        print("guest: error: " + rest, flush=True)
                    elif kind == "END":
                        ended = True
    except OSError as e:
        errors.append(str(e))
    finally:
        try:
            qemu.wait(15 if ended else 0.1)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()
        for reader in readers:
            reader.stop()

    if not ended and not errors:
        errors.append("the guest stopped before its last step")
    for name in plan:
        if name not in results:
            results[name] = "FAIL"
            print("guest: FAIL %s: never reported" % name)
    passed = sum(1 for v in results.values() if v == "PASS")
    failed = len(results) - passed
    for e in errors:
        print("guest: error: " + e)
    if failed or errors or not plan:
        print("guest: the guest's console:")
        with open(console_log, "rb") as log:
            sys.stdout.write(log.read().decode("latin-1").replace("\r", ""))
        print()
    print("guest: %d passed, %d failed" % (passed, failed))
    return 1 if failed or errors or not plan else 0


if __name__ == "__main__":
    sys.exit(main())
