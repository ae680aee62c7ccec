"""Processes the benchmark starts: a private headless sway and its clients.

Every process is remembered in one registry and stopped by its own PID, also
when the run is interrupted, so that no compositor outlives the benchmark.
"""

import json
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import time

SWAY_USER = "lumivane-test"
CLEAN_PATH = "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin"

_live = []  # every Popen still to be stopped, newest last


def stop(proc, grace=3.0):
    """SIGTERM by PID, then SIGKILL if it is still there after the grace."""
    if proc.poll() is None:
        try:
            os.kill(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            try:
                os.kill(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait(timeout=grace)
    if proc in _live:
        _live.remove(proc)


def stop_all():
    while _live:
        stop(_live[-1])


def spawn(argv, **kwargs):
    proc = subprocess.Popen(argv, **kwargs)
    _live.append(proc)
    return proc


def wait_for(test, timeout, what):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if test():
            return
        time.sleep(0.02)
    raise RuntimeError(f"timed out after {timeout:.0f} s waiting for {what}")


def ensure_user():
    """sway refuses to run as root, so it runs as a system account of its own."""
    try:
        return pwd.getpwnam(SWAY_USER)
    except KeyError:
        pass
    if os.geteuid() != 0:
        raise RuntimeError(f"user {SWAY_USER} is missing and only root can create it")
    subprocess.run(["useradd", "--system", "--no-create-home", "--shell",
                    "/usr/sbin/nologin", SWAY_USER], check=True, timeout=30)
    return pwd.getpwnam(SWAY_USER)


class Sway:
    """One headless sway with `count` outputs, each set to `size` pixels at `scale`."""

    def __init__(self, count, size, workdir, scale=1.0):
        self.count = count
        self.size = size
        self.scale = scale
        self.dir = tempfile.mkdtemp(prefix="sway.", dir=workdir)
        self.proc = None

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _start(self):
        os.chmod(self.dir, 0o755)
        self.runtime = os.path.join(self.dir, "rt")
        os.mkdir(self.runtime, 0o700)
        if os.geteuid() == 0:
            user = ensure_user()
            os.chown(self.runtime, user.pw_uid, user.pw_gid)
            drop = ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}",
                    "--init-groups"]
        else:
            drop = []
        config = os.path.join(self.dir, "config")
        with open(config, "w") as f:
            f.write("xwayland disable\n")
        os.chmod(config, 0o644)
        env = ["env", "-i", f"PATH={CLEAN_PATH}", f"XDG_RUNTIME_DIR={self.runtime}",
               "WLR_BACKENDS=headless", "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1",
               f"WLR_HEADLESS_OUTPUTS={self.count}"]
        self.log = open(os.path.join(self.dir, "sway.log"), "w")
        self.proc = spawn(drop + env + ["sway", "-c", config], stdin=subprocess.DEVNULL,
                          stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True)
        socket = os.path.join(self.runtime, "wayland-1")

        def up():
            if self.proc.poll() is not None:
                raise RuntimeError(f"sway exited with {self.proc.returncode}; see {self.log.name}")
            return os.path.exists(socket) and self._ipc_socket()

        wait_for(up, 20, "sway's sockets")
        self.ipc = self._ipc_socket()
        wait_for(lambda: len(self.outputs()) == self.count, 10, f"{self.count} outputs")
        for name in self.outputs():
            self.set_size(name, self.size)
            if self.scale != 1.0:
                self.set_scale(name, self.scale)

    def _ipc_socket(self):
        for entry in os.listdir(self.runtime):
            if entry.startswith("sway-ipc.") and entry.endswith(".sock"):
                return os.path.join(self.runtime, entry)
        return None

    def msg(self, *args, reply=False):
        argv = ["swaymsg", "-s", self.ipc] + (["-r"] if reply else []) + list(args)
        done = subprocess.run(argv, capture_output=True, text=True, timeout=10)
        if done.returncode != 0:
            raise RuntimeError(f"{' '.join(argv)} failed: {done.stdout}{done.stderr}")
        return json.loads(done.stdout) if reply else done.stdout

    def outputs(self, active_only=True):
        """Names of the outputs, with their current sizes checked by the caller."""
        found = self.msg("-t", "get_outputs", reply=True)
        return [o["name"] for o in found if o.get("active") or not active_only]

    def output_sizes(self):
        """The modes, in pixels: the rectangles are in logical units on a scaled output."""
        return {o["name"]: (o["current_mode"]["width"], o["current_mode"]["height"])
                for o in self.msg("-t", "get_outputs", reply=True) if o.get("active")}

    def set_scale(self, name, scale):
        self.msg("output", name, "scale", str(scale))
        wait_for(lambda: any(o["name"] == name and o.get("scale") == scale
                             for o in self.msg("-t", "get_outputs", reply=True)), 5,
                 f"{name} to take scale {scale}")

    def set_size(self, name, size):
        self.msg("output", name, "mode", f"{size[0]}x{size[1]}")
        wait_for(lambda: self.output_sizes().get(name) == tuple(size), 5,
                 f"{name} to become {size[0]}x{size[1]}")

    def client_env(self, extra=None):
        env = {"PATH": CLEAN_PATH, "XDG_RUNTIME_DIR": self.runtime, "WAYLAND_DISPLAY": "wayland-1",
               "HOME": os.environ.get("HOME", "/root"), "LC_ALL": "C"}
        env.update(extra or {})
        return env

    def close(self):
        if self.proc is not None:
            stop(self.proc)
            self.proc = None
        if getattr(self, "log", None):
            self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)
