"""What the benchmark reads about a client: /proc counters, its own
WAYLAND_DEBUG trace and, in counting runs, strace's record of its polls."""

import os
import re
import subprocess
import time

from session import spawn, stop

WRAP_US = 1 << 32  # libwayland before 1.26 prints the realtime clock in µs, cut to 32 bits


def now_us():
    return time.time_ns() // 1000


def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except (FileNotFoundError, ProcessLookupError, PermissionError):
        return None


def snapshot(pid):
    """Per-thread CPU time (ns) and context switches, and the process's memory."""
    threads = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return None
    for tid in tids:
        sched = _read(f"/proc/{pid}/task/{tid}/schedstat")
        status = _read(f"/proc/{pid}/task/{tid}/status")
        if sched is None or status is None:
            continue
        fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
        threads[int(tid)] = {
            "comm": fields["Name"].strip(),
            "cpu_ns": int(sched.split()[0]),
            "vol": int(fields["voluntary_ctxt_switches"]),
            "invol": int(fields["nonvoluntary_ctxt_switches"]),
        }
    status = _read(f"/proc/{pid}/status")
    stat = _read(f"/proc/{pid}/stat")
    if status is None or stat is None:
        return None
    fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
    # utime and stime of the whole process, dead threads included, in ticks.
    after_comm = stat.rsplit(")", 1)[1].split()
    ticks = int(after_comm[11]) + int(after_comm[12])
    return {
        "mono": time.monotonic(),
        "real_us": now_us(),
        "threads": threads,
        "ticks": ticks,
        "rss_kb": int(fields["VmRSS"].split()[0]),
        "hwm_kb": int(fields["VmHWM"].split()[0]),
    }


def usage(pid, a, b):
    """Counter differences between two snapshots of process `pid`."""
    out = {"seconds": b["mono"] - a["mono"], "cpu_ns": 0, "wakeups": 0,
           "main_cpu_ns": 0, "main_wakeups": 0, "threads": len(b["threads"])}
    for tid, t in b["threads"].items():
        s = a["threads"].get(tid, {"cpu_ns": 0, "vol": 0, "invol": 0})
        cpu = t["cpu_ns"] - s["cpu_ns"]
        wake = (t["vol"] - s["vol"]) + (t["invol"] - s["invol"])
        out["cpu_ns"] += cpu
        out["wakeups"] += wake
        if tid == pid:
            out["main_cpu_ns"] = cpu
            out["main_wakeups"] = wake
            out["main_vol"] = t["vol"] - s["vol"]
            out["main_invol"] = t["invol"] - s["invol"]
    out["ticks"] = b["ticks"] - a["ticks"]
    return out


class Run:
    """One client run: launched, sampled at fixed moments, stopped."""

    def __init__(self, argv, env, workdir, label):
        self.argv = argv
        self.env = env
        self.label = label
        self.err_path = os.path.join(workdir, f"{label}.err")
        self.out_path = os.path.join(workdir, f"{label}.out")
        self.samples = {}
        self.proc = None

    def start(self):
        self.err = open(self.err_path, "w")
        self.out = open(self.out_path, "w")
        self.launch_mono = time.monotonic()
        self.launch_us = now_us()
        self.proc = spawn(self.argv, env=self.env, stdin=subprocess.DEVNULL, stdout=self.out,
                          stderr=self.err)
        return self

    def at(self, name, offset):
        """Sleeps until `offset` seconds after launch, then takes a snapshot."""
        delay = self.launch_mono + offset - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        if self.proc.poll() is not None:
            raise RuntimeError(f"{self.label}: {self.argv[0]} exited early with "
                               f"{self.proc.returncode}; see {self.err_path}")
        snap = snapshot(self.proc.pid)
        if snap is None:
            raise RuntimeError(f"{self.label}: could not read /proc/{self.proc.pid}")
        self.samples[name] = snap
        return snap

    def finish(self):
        if self.proc is not None:
            stop(self.proc)
        for f in (self.err, self.out):
            f.close()


# One message of a WAYLAND_DEBUG log, as each libwayland in use prints it:
#   1.21  [1447824.602]  -> wl_surface@5.attach(wl_buffer@13, 0, 0)
#   1.23  [1447824.602] {Default Queue}  -> wl_surface#5.attach(wl_buffer#13, 0, 0)
#   1.26  [21:08:56.553021] {mesa egl surface queue}  -> wl_surface#5.attach(wl_buffer#13, 0, 0)
TRACE_LINE = re.compile(
    r"^\[\s*(?:(\d+):(\d\d):(\d\d)\.(\d{6})|(\d+)\.(\d{3}))\]\s+"
    r"(?:\{([^}]*)\}\s+)?(discarded\s+)?(-> )?\s*"
    r"([A-Za-z_0-9]+|\[unknown\])[@#](\d+)\.(\w+|\[event \d+\])\((.*)\)\s*$")
# An object reference outside a string, "wl_buffer#13" from 1.23 on.
OBJECT_HASH = re.compile(r'"(?:[^"\\]|\\.)*"|#(?=\d)')
NEW_ID = re.compile(r"new id (?:[A-Za-z_0-9]+|\[unknown\])@(\d+)")
DAY_US = 86400 * 1000000


class Message:
    """One line of a trace: its time, direction, queue, object and arguments.

    Object references in `args` are spelled as 1.21 did, "wl_buffer@13". The
    time is a clock reading modulo `wrap_us`: 1.21 and 1.23 print the
    realtime clock in µs cut to 32 bits (as ms and µs), 1.26 the time of day
    in UTC."""

    __slots__ = ("stamp_us", "wrap_us", "request", "discarded", "queue", "interface", "id",
                 "name", "args")

    def __init__(self, m):
        if m.group(1) is not None:
            hours, minutes, seconds, micros = (int(m.group(i)) for i in range(1, 5))
            self.stamp_us = ((hours * 60 + minutes) * 60 + seconds) * 1000000 + micros
            self.wrap_us = DAY_US
        else:
            self.stamp_us = int(m.group(5)) * 1000 + int(m.group(6))
            self.wrap_us = WRAP_US
        self.queue = m.group(7) or ""
        self.discarded = m.group(8) is not None
        self.request = m.group(9) is not None
        self.interface, self.id, self.name = m.group(10), int(m.group(11)), m.group(12)
        self.args = OBJECT_HASH.sub(lambda x: "@" if x.group(0) == "#" else x.group(0), m.group(13))

    def us_since(self, launch_us):
        return (self.stamp_us - launch_us) % self.wrap_us


def parse_line(line):
    """The message on a line of a trace, or None for the program's and
    Mesa's own lines."""
    m = TRACE_LINE.match(line)
    return Message(m) if m else None


def parse_trace(path, launch_us):
    """Buffer commits per surface from a WAYLAND_DEBUG log.

    A commit counts as a presented frame when a buffer was attached since the
    surface's previous commit. Times are µs since launch."""
    output_names = {}   # wl_output id -> name
    surface_output = {}  # wl_surface id -> wl_output id
    buffer_size = {}
    attached = {}
    commits = []  # (t_us, surface, (w, h))
    frame_requests = []  # (t_us, surface): sent right after drawing, before the swap
    formats = set()
    marks = {}  # first request, first role surface, first configure: µs since launch
    incoming = []  # times of every event the client received
    with open(path, errors="replace") as f:
        for line in f:
            msg = parse_line(line)
            # Events for objects the client destroyed reach no handler of its own.
            if msg is None or msg.discarded:
                continue
            t = msg.us_since(launch_us)
            request = msg.request
            iface, oid, method, args = msg.interface, msg.id, msg.name, msg.args
            if request:
                marks.setdefault("request", t)
                if method in ("get_layer_surface", "get_xdg_surface"):
                    marks.setdefault("surface", t)
            elif method == "configure" and iface in ("zwlr_layer_surface_v1", "xdg_surface"):
                marks.setdefault("configure", t)
            if not request:
                incoming.append(t)
                if iface == "wl_output" and method == "name":
                    output_names[oid] = args.strip().strip('"')
                continue
            if method == "create_buffer" and iface == "wl_shm_pool":
                parts = [p.strip() for p in args.split(",")]
                nid = NEW_ID.search(parts[0])
                if nid and len(parts) >= 6:
                    buffer_size[int(nid.group(1))] = (int(parts[2]), int(parts[3]))
                    formats.add(shm_format(int(parts[5])))
            elif iface == "zwlr_layer_shell_v1" and method == "get_layer_surface":
                s = re.search(r"wl_surface@(\d+)", args)
                o = re.search(r"wl_output@(\d+)", args)
                if s and o:
                    surface_output[int(s.group(1))] = int(o.group(1))
            elif iface == "wl_surface" and method == "attach":
                b = re.search(r"wl_buffer@(\d+)", args)
                attached[oid] = int(b.group(1)) if b else None
            elif iface == "wl_surface" and method == "frame":
                frame_requests.append((t, oid))
            elif iface == "wl_surface" and method == "commit":
                if attached.get(oid) is not None:
                    commits.append((t, oid, buffer_size.get(attached[oid])))
                attached.pop(oid, None)
    names = {s: output_names.get(o, f"wl_output@{o}") for s, o in surface_output.items()}
    return {"commits": commits, "surface_names": names, "incoming": incoming,
            "frame_requests": frame_requests, "formats": sorted(formats), "marks": marks}


def shm_format(code):
    """wl_shm formats are DRM fourcc codes, except 0 and 1."""
    if code == 0:
        return "ARGB8888"
    if code == 1:
        return "XRGB8888"
    text = code.to_bytes(4, "little").decode("ascii", "replace")
    return {"XR30": "XRGB2101010", "AR30": "ARGB2101010", "XR24": "XRGB8888",
            "AR24": "ARGB8888", "RG16": "RGB565"}.get(text, text)


STRACE_CALL = re.compile(r"^(?:(\d+)\s+)?(\d+\.\d+)\s+(\w+)\((.*)")
STRACE_POLL = re.compile(r", (-?\d+)\)\s+= (-?\d+)")
STRACE_FRAME = re.compile(r"^\s*>\s+(\S+?)\(")


def parse_strace(path):
    """Poll calls from `strace -ttt -k`: (realtime µs, caller, timeout ms, result).

    The caller is the first frame outside libc and libwayland-client, so that
    the program's own loop and Mesa's waits can be told apart."""
    calls = []
    current = None
    with open(path, errors="replace") as f:
        for line in f:
            m = STRACE_CALL.match(line)
            if m:
                if current:
                    calls.append(current)
                p = STRACE_POLL.search(m.group(4))
                current = [int(float(m.group(2)) * 1e6), None,
                           int(p.group(1)) if p else None, int(p.group(2)) if p else None]
                continue
            frame = STRACE_FRAME.match(line)
            if frame and current and current[1] is None:
                lib = os.path.basename(frame.group(1))
                if not (lib.startswith("libc.so") or lib.startswith("libwayland-client")):
                    current[1] = lib.split(".so")[0]
    if current:
        calls.append(current)
    return [(t, caller or "?", timeout, result) for t, caller, timeout, result in calls]
