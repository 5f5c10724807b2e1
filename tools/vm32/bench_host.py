#!/usr/bin/env python3
"""The serial bench's side on this machine, while the test machine runs.

    bench_host.py SHARE QMP_SOCKET [DISPLAY_SIM]

SHARE is the folder shared with the test machine (tools/vm32/run.sh --share).
For each far end NAME (uart, usb) whose FIFO SHARE/NAME.out is there, qemu
writes what the device sends into it (its character device
"pipe,path=SHARE/NAME"); this program keeps reading it and appends every byte
to SHARE/NAME.bytes, where the cases in the machine read them. The FIFO holds
one page only, so that a far end that stops reading fills up after a few
kilobytes, as a display's would. A far end that is a pseudo-terminal (qemu's
"pty") is where the simulated display DISPLAY_SIM listens.

The cases ask for what only this side can do with a file SHARE/req/ID-ACTION;
once it is done, SHARE/ack/ID-ACTION appears (with "ok" or the reason it
failed):
    stall-NAME    stop reading that far end (its bytes wait in the FIFO)
    resume-NAME   read it again
    pull          pull the USB adapter out (QMP device_del, until qemu reports
                  it gone)
    plug          plug an adapter back on the same far end (QMP device_add)
    sim-NAME      start the simulated display on that pseudo-terminal far end,
                  its output into SHARE/sim-NAME.txt
    shown-NAME    wait until that display has ended (the driver closed it)
    stop-NAME     end that display now (a session that never closed it)
It ends when SHARE/end appears or on SIGTERM.
"""
import fcntl
import json
import os
import select
import signal
import socket
import subprocess
import sys
import time

F_SETPIPE_SZ = 1031
FAR_ENDS = ("uart", "usb")
CHARDEVS = {"uart": "uart", "usb": "adapter"}  # run.sh's qemu ids


class Qmp:
    def __init__(self, path):
        self.path = path
        self.sock = None
        self.buffer = b""

    def connect(self):
        if self.sock is not None:
            return
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.settimeout(30)
        sock.connect(self.path)
        self.sock = sock
        self.message()  # the greeting
        self.command("qmp_capabilities")

    def message(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise OSError("qemu closed its control socket")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def command(self, name, events=None, **arguments):
        request = {"execute": name}
        if arguments:
            request["arguments"] = arguments
        self.sock.sendall(json.dumps(request).encode() + b"\n")
        while True:
            reply = self.message()
            if "event" in reply:
                if events is not None:
                    events.append(reply)
                continue
            if "error" in reply:
                raise OSError("%s: %s" % (name, reply["error"].get("desc", reply["error"])))
            return reply.get("return")

    def pty(self, name):
        for chardev in self.command("query-chardev"):
            if chardev.get("label") == CHARDEVS[name] and chardev.get("filename", "").startswith("pty:"):
                return chardev["filename"][4:]
        raise OSError("the %s far end is no pseudo-terminal" % name)

    def wait_event(self, name, device, seen, limit):
        for event in seen:
            if event["event"] == name and event.get("data", {}).get("device") == device:
                return
        end = time.monotonic() + limit
        while time.monotonic() < end:
            event = self.message()
            if event.get("event") == name and event.get("data", {}).get("device") == device:
                return
        raise OSError("no %s event for %s in %d s" % (name, device, limit))


def main():
    share, qmp_path = sys.argv[1], sys.argv[2]
    display_sim = sys.argv[3] if len(sys.argv) > 3 else None
    displays = {}
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    qmp = Qmp(qmp_path)
    ends = {}
    for name in FAR_ENDS:
        path = os.path.join(share, name + ".out")
        if not os.path.exists(path):
            continue
        # Read and write, so that the FIFO stays open between qemu's opening
        # and ours; one page of room.
        fd = os.open(path, os.O_RDWR | os.O_NONBLOCK)
        try:
            fcntl.fcntl(fd, F_SETPIPE_SZ, 4096)
        except OSError:
            pass
        ends[name] = {"fd": fd, "out": open(os.path.join(share, name + ".bytes"), "ab", buffering=0),
                      "reading": True}
    os.makedirs(os.path.join(share, "req"), exist_ok=True)
    os.makedirs(os.path.join(share, "ack"), exist_ok=True)
    try:
        serve(share, qmp, ends, display_sim, displays)
    finally:
        for display in displays.values():
            display.terminate()
            display.wait()


def serve(share, qmp, ends, display_sim, displays):
    done = set()
    while not os.path.exists(os.path.join(share, "end")):
        readers = [end["fd"] for end in ends.values() if end["reading"]]
        ready = select.select(readers, [], [], 0.05)[0] if readers else []
        if not readers:
            time.sleep(0.05)
        for end in ends.values():
            if end["fd"] in ready:
                try:
                    data = os.read(end["fd"], 65536)
                except BlockingIOError:
                    data = b""
                if data:
                    end["out"].write(data)
        for request in sorted(os.listdir(os.path.join(share, "req"))):
            if request in done:
                continue
            done.add(request)
            action = request.split("-", 1)[1] if "-" in request else request
            answer = "ok"
            try:
                if action.startswith("stall-") or action.startswith("resume-"):
                    ends[action.split("-", 1)[1]]["reading"] = action.startswith("resume-")
                elif action == "pull":
                    qmp.connect()
                    events = []
                    qmp.command("device_del", events, id="adapter")
                    qmp.wait_event("DEVICE_DELETED", "adapter", events, 30)
                elif action == "plug":
                    qmp.connect()
                    qmp.command("device_add", driver="usb-serial", chardev="adapter", id="adapter", bus="xhci.0")
                elif action.startswith("sim-") and display_sim:
                    name = action[4:]
                    qmp.connect()
                    line = qmp.pty(name)
                    with open(os.path.join(share, "sim-%s.txt" % name), "wb") as out:
                        displays[name] = subprocess.Popen([display_sim, line, "0"], stdout=out,
                                                          stderr=subprocess.STDOUT)
                    time.sleep(0.5)  # the display listens before the host starts
                elif action.startswith("shown-") and action[6:] in displays:
                    display = displays.pop(action[6:])
                    try:
                        display.wait(60)
                    except subprocess.TimeoutExpired:
                        display.terminate()
                        display.wait()
                        answer = "the display did not end"
                elif action.startswith("stop-") and action[5:] in displays:
                    display = displays.pop(action[5:])
                    display.terminate()
                    display.wait()
                else:
                    answer = "unknown request " + action
            except (OSError, KeyError, ValueError) as error:
                answer = "failed: %s" % error
            with open(os.path.join(share, "ack", request), "w") as ack:
                ack.write(answer + "\n")


if __name__ == "__main__":
    main()
