"""Runs every client of every scenario and turns the raw records into figures."""

import os
import shutil
import subprocess
import sys
import time

import instructions
import probe
import session
from stats import describe


class Settings:
    def __init__(self, lumivane, shader, workdir, reps, traced_from, plain_from, log,
                 profile_s=0.0):
        self.lumivane = lumivane
        self.shader = shader
        self.workdir = workdir
        self.reps = reps
        self.traced_from = traced_from  # window start of traced runs, s after launch
        self.plain_from = plain_from    # window start of plain runs
        self.log = log
        self.profile_s = profile_s  # 0: no profile
        self.cache = os.path.join(workdir, "mesa-cache")


def argv_of(client, s):
    here = os.path.dirname(s.shader)
    files = {"{shader}": s.shader, "{shader-es}": os.path.join(here, "wave-es.frag"),
             "{flat}": os.path.join(here, "flat.frag"),
             "{constant}": os.path.join(here, "constant.frag"),
             "{examples}": os.path.join(os.path.dirname(here), "examples")}
    args = []
    for a in client.args:
        for name, path in files.items():
            a = a.replace(name, path)
        args.append(a)
    program = {"lumivane": s.lumivane, "weston": "weston-simple-egl", "swaybg": "swaybg"}
    return [client.program or program[client.kind]] + args


def client_env(sway, s, traced):
    # One shader cache for the whole benchmark, warmed before the first
    # measured run, so that every client starts as it would on a second login.
    extra = {"MESA_SHADER_CACHE_DIR": s.cache}
    if traced:
        extra["WAYLAND_DEBUG"] = "1"
    return sway.client_env(extra)


def group_ticks(commits, gap_us):
    """Sizes of the bursts of commits on distinct surfaces less than gap_us apart."""
    sizes = []
    burst = []
    last = None
    for t, surface, _ in commits:
        if burst and (t - last > gap_us or surface in burst):
            sizes.append(len(burst))
            burst = []
        burst.append(surface)
        last = t
    if burst:
        sizes.append(len(burst))
    return sizes


def sway_usage(sway, a, b):
    if a is None or b is None:
        return None
    return probe.usage(sway.proc.pid, a, b)


def traced_run(sway, client, s, label):
    run = probe.Run(argv_of(client, s), client_env(sway, s, True), s.workdir, label).start()
    try:
        a = run.at("from", s.traced_from)
        sa = probe.snapshot(sway.proc.pid)
        b = run.at("to", client.traced_s)
        sb = probe.snapshot(sway.proc.pid)
    finally:
        run.finish()
    trace = probe.parse_trace(run.err_path, run.launch_us)
    lo = (a["real_us"] - run.launch_us)
    hi = (b["real_us"] - run.launch_us)
    seconds = (hi - lo) / 1e6
    commits = trace["commits"]
    names = trace["surface_names"]
    rec = {"seconds": seconds, "usage": probe.usage(run.proc.pid, a, b),
           "sway": sway_usage(sway, sa, sb), "gl": gl_version(run.err_path)}
    if commits:
        rec["first_ms"] = commits[0][0] / 1000
        full = [c for c in commits if c[2] == tuple(sway.size)]
        rec["first_full_ms"] = full[0][0] / 1000 if full else None
        rec["first_size"] = commits[0][2]
    else:
        rec["first_ms"] = rec["first_full_ms"] = None
    inside = [c for c in commits if lo <= c[0] <= hi]
    per_surface = {}
    for t, surface, _ in commits:
        per_surface.setdefault(surface, []).append(t)
    intervals = []
    outputs = {}
    for surface, times in per_surface.items():
        win = [t for t in times if lo <= t <= hi]
        outputs[names.get(surface, f"surface {surface}")] = len(win) / seconds
        intervals += [(y - x) / 1000 for x, y in zip(win, win[1:])]
    rec["outputs"] = outputs
    rec["fps"] = len(inside) / seconds
    rec["intervals"] = intervals
    rec["interval_stats"] = describe(intervals)
    rec["ticks"] = group_ticks(inside, 3000)
    rec["formats"] = trace["formats"]
    # A frame callback is requested right after the draw calls, before the swap
    # makes the rasteriser run, so these intervals show the loop's own pacing.
    requests = {}
    for t, surface in trace["frame_requests"]:
        if lo <= t <= hi:
            requests.setdefault(surface, []).append(t)
    rec["request_intervals"] = [(y - x) / 1000 for times in requests.values()
                                for x, y in zip(times, times[1:])]
    # From the frame request to the commit that follows it on the same surface:
    # the time eglSwapBuffers takes to have the frame rendered and sent.
    render = []
    for surface, times in requests.items():
        mine = [c[0] for c in inside if c[1] == surface]
        for t in times:
            later = [c for c in mine if c >= t]
            if later:
                render.append((later[0] - t) / 1000)
    rec["render_ms"] = render
    rec["marks_ms"] = {k: v / 1000 for k, v in trace["marks"].items()}
    # Worker wake-ups per presented frame, to check the frame rate of plain runs.
    workers = sum(t["vol"] for t in b["threads"].values() if t["comm"].startswith("llvmpipe")) - \
        sum(t["vol"] for t in a["threads"].values() if t["comm"].startswith("llvmpipe"))
    rec["worker_vol_per_frame"] = workers / len(inside) if inside else None
    return rec


def plain_run(sway, client, s, label):
    run = probe.Run(argv_of(client, s), client_env(sway, s, False), s.workdir, label).start()
    try:
        a = run.at("from", s.plain_from)
        sa = probe.snapshot(sway.proc.pid)
        if client.plain_s >= 10.0:
            rss10 = run.at("10s", 10.0)["rss_kb"]
        else:
            rss10 = None
        b = run.at("to", client.plain_s)
        sb = probe.snapshot(sway.proc.pid)
    finally:
        run.finish()
    u = probe.usage(run.proc.pid, a, b)
    workers = sum(t["vol"] for t in b["threads"].values() if t["comm"].startswith("llvmpipe")) - \
        sum(t["vol"] for t in a["threads"].values() if t["comm"].startswith("llvmpipe"))
    return {"usage": u, "sway": sway_usage(sway, sa, sb), "rss10_kb": rss10,
            "start_cpu_ns": sum(t["cpu_ns"] for t in a["threads"].values()),
            "rss_end_kb": b["rss_kb"], "hwm_kb": b["hwm_kb"],
            "worker_vol_per_s": workers / u["seconds"], "threads": len(b["threads"])}


def strace_run(sway, client, s, label, length):
    """Counts poll calls per presented frame on the main thread.

    strace attaches to the main thread only, after start-up; the same run is
    traced with WAYLAND_DEBUG so that its own frames can be counted."""
    run = probe.Run(argv_of(client, s), client_env(sway, s, True), s.workdir, label).start()
    out = os.path.join(s.workdir, f"{label}.strace")
    tracer = None
    try:
        run.at("attach", 0.5)
        tracer = session.spawn(["strace", "-k", "-ttt", "-qq", "-e", "trace=poll,ppoll",
                                "-e", "signal=none", "-o", out, "-p", str(run.proc.pid)],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        a = run.at("from", s.traced_from + 0.5)
        b = run.at("to", s.traced_from + 0.5 + length)
        session.stop(tracer)
    finally:
        if tracer is not None:
            session.stop(tracer)
        run.finish()
    trace = probe.parse_trace(run.err_path, run.launch_us)
    calls = probe.parse_strace(out)
    lo, hi = a["real_us"], b["real_us"]
    frames = [c for c in trace["commits"]
              if lo - run.launch_us <= c[0] <= hi - run.launch_us]
    # Polls are counted from one commit to the last, per interval between
    # commits, so that the window's edges cannot add or drop part of a frame.
    if len(frames) >= 2:
        lo, hi = frames[0][0] + run.launch_us, frames[-1][0] + run.launch_us
        polls = [c for c in calls if lo < c[0] <= hi]
        frames = frames[1:]
    else:
        polls = [c for c in calls if lo <= c[0] <= hi]
    by_caller = {}
    kinds = {"blocking": 0, "timed, ran out": 0, "timed, woken": 0}
    for _, caller, timeout, result in polls:
        by_caller[caller] = by_caller.get(caller, 0) + 1
        if timeout is not None and timeout < 0:
            kinds["blocking"] += 1
        elif result == 0:
            kinds["timed, ran out"] += 1
        else:
            kinds["timed, woken"] += 1
    return {"frames": len(frames), "polls": len(polls), "by_caller": by_caller, "kinds": kinds,
            "per_frame": len(polls) / len(frames) if frames else None}


def gl_version(path):
    try:
        with open(path, errors="replace") as f:
            for line in f:
                if line.startswith("GL version:"):
                    return line.split(":", 1)[1].strip()
    except FileNotFoundError:
        pass
    return None


def warm_up(sway, s):
    """One untimed run of each GL client fills the shader cache."""
    from scenarios import Client
    for client in (Client("warm", "", "lumivane", ["*", "{shader}"]),
                   Client("warm-wse", "", "weston", ["-f"])):
        run = probe.Run(argv_of(client, s), client_env(sway, s, False), s.workdir,
                        f"warmup-{client.kind}").start()
        try:
            run.at("done", 1.5)
        finally:
            run.finish()


def run_scenario(sc, s, strace_length, warm):
    s.log(f"scenario {sc.title}: starting sway with {sc.outputs} output(s) of {sc.size[0]}x{sc.size[1]}"
          f" at scale {sc.scale:g}")
    results = {}
    with session.Sway(sc.outputs, sc.size, s.workdir, sc.scale) as sway:
        if warm:
            warm_up(sway, s)
        cover = None
        if sc.cover:
            cover = probe.Run(["weston-simple-egl", "-f"], client_env(sway, s, False),
                              s.workdir, f"{sc.key}-cover").start()
            cover.at("up", 1.0)
        try:
            for rep in range(s.reps):
                for client in sc.clients:
                    r = results.setdefault(client.key, {"traced": [], "plain": [], "strace": []})
                    if client.traced_s:
                        label = f"{client.key}-traced-{rep}"
                        s.log(f"  {label}: {client.label} for {client.traced_s:.1f} s")
                        r["traced"].append(traced_run(sway, client, s, label))
                    if client.plain_s:
                        label = f"{client.key}-plain-{rep}"
                        s.log(f"  {label}: {client.label} for {client.plain_s:.1f} s")
                        r["plain"].append(plain_run(sway, client, s, label))
                    if client.strace and strace_length:
                        label = f"{client.key}-strace-{rep}"
                        s.log(f"  {label}: {client.label} under strace for {strace_length:.1f} s")
                        r["strace"].append(strace_run(sway, client, s, label, strace_length))
        finally:
            if cover is not None:
                cover.finish()
        if sc.profile and s.profile_s:
            s.log(f"  {sc.profile.key}: {sc.profile.label} under callgrind")
            results["_profile"] = instructions.callgrind(
                argv_of(sc.profile, s), client_env(sway, s, False), s.workdir, sc.profile.key,
                s.profile_s, s.log)
        results["_sway_sizes"] = sway.output_sizes()
    return results


def build(root, log):
    """Builds lumivane in build-bench/ unless $LUMIVANE names a binary."""
    given = os.environ.get("LUMIVANE")
    if given:
        if not os.access(given, os.X_OK):
            raise RuntimeError(f"LUMIVANE={given} is not an executable file")
        return os.path.abspath(given)
    build_dir = os.path.join(root, "build-bench")
    if not os.path.exists(os.path.join(build_dir, "build.ninja")):
        log("building lumivane in build-bench/")
        subprocess.run(["meson", "setup", build_dir, "-Dtests=disabled",
                        "-Dbuildtype=debugoptimized"], cwd=root, check=True, timeout=300,
                       stdout=subprocess.DEVNULL)
    subprocess.run(["meson", "compile", "-C", build_dir], cwd=root, check=True, timeout=600,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "lumivane")


def build_revision(root, rev, log):
    """Builds lumivane as it was at `rev`, taken from git into build-bench-REV/;
    None where the repository lacks that revision."""
    try:
        full = subprocess.run(["git", "-C", root, "rev-parse", "--verify", "--quiet",
                               rev + "^{commit}"], capture_output=True, text=True,
                              timeout=10).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        full = ""
    if not full:
        return None
    base = os.path.join(root, f"build-bench-{full[:12]}")
    binary = os.path.join(base, "build", "lumivane")
    if os.access(binary, os.X_OK):
        return binary
    log(f"building lumivane at {full[:12]} in {os.path.relpath(base, root)}/")
    shutil.rmtree(base, ignore_errors=True)
    source = os.path.join(base, "source")
    os.makedirs(source)
    archive = subprocess.run(["git", "-C", root, "archive", "--format=tar", full],
                             capture_output=True, check=True, timeout=60).stdout
    subprocess.run(["tar", "-x", "-C", source], input=archive, check=True, timeout=60)
    subprocess.run(["meson", "setup", os.path.join(base, "build"), "-Dtests=disabled",
                    "-Dman-pages=disabled", "-Dbuildtype=debugoptimized"], cwd=source,
                   check=True, timeout=300, stdout=subprocess.DEVNULL)
    subprocess.run(["meson", "compile", "-C", os.path.join(base, "build")], check=True,
                   timeout=600, stdout=subprocess.DEVNULL)
    return binary


def check_tools():
    missing = [t for t in ("sway", "swaymsg", "weston-simple-egl", "swaybg", "strace", "setpriv",
                           "valgrind", "callgrind_control", "git")
               if shutil.which(t) is None]
    if missing:
        raise RuntimeError("missing programs: " + ", ".join(missing) +
                           " (Debian packages: sway, weston, swaybg, strace, util-linux, "
                           "valgrind, git)")


def log_to_stderr(msg):
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)
