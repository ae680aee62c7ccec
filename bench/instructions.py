"""Where a frame's instructions go: callgrind's counts over a window of frames.

callgrind counts every instruction by simulation: far slower than perf, but
it works where perf cannot count instructions (virtual machines without a
PMU, such as the one this benchmark was first run on), and its counts are
the same from run to run. perf's own verdict goes into the document beside
them."""

import glob
import os
import re
import subprocess
import time

import probe


def perf_verdict():
    """What `perf stat -e instructions true` says here, in a few words."""
    try:
        done = subprocess.run(["perf", "stat", "-x", ",", "-e", "instructions", "true"],
                              capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as e:
        return f"perf did not run ({e})"
    line = next((l for l in done.stderr.splitlines() if "instructions" in l), "").split(",")
    if done.returncode == 0 and line[0].strip().isdigit():
        return "counts instructions"
    return line[0].strip() or done.stderr.strip()[:80] or "?"


def callgrind(argv, env, workdir, label, seconds, log):
    """Runs argv under callgrind and counts `seconds` of frames after the
    first three; returns the counts per thread, object and call."""
    out = os.path.join(workdir, f"{label}.callgrind")
    run = probe.Run(["valgrind", "--tool=callgrind", "--separate-threads=yes",
                     "--compress-strings=no", "--compress-pos=no",
                     f"--callgrind-out-file={out}"] + argv, env, workdir, label).start()
    try:
        # Start-up, LLVM compiling the shader for the rasteriser above all,
        # is left out: every dump zeroes the counts, and the window starts at
        # the dump that finds the third frame swapped.
        end = time.monotonic() + 600
        part = swapped = 0
        while swapped < 3:
            time.sleep(1.0)
            if run.proc.poll() is not None:
                raise RuntimeError(f"{label}: exited with {run.proc.returncode} under callgrind; "
                                   f"see {run.err_path}")
            if time.monotonic() > end:
                raise RuntimeError(f"{label}: no frames after 600 s under callgrind")
            part += 1
            control(run.proc.pid, "--dump")
            swapped += parse(f"{out}.{part}-01")["calls"].get("eglSwapBuffers", (0, 0))[0]
        log(f"  {label}: counting for {seconds:.0f} s")
        time.sleep(seconds)
        part += 1
        control(run.proc.pid, "--dump")
    finally:
        run.finish()
    parts = sorted(glob.glob(f"{out}.{part}-*"))
    if not parts:
        raise RuntimeError(f"{label}: callgrind wrote no dump")
    return summarise([parse(p) for p in parts])


def control(pid, action):
    subprocess.run(["callgrind_control", action, str(pid)], check=True, timeout=120,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


COST = re.compile(r"^[+\-*\d]")


def parse(path):
    """Self instructions per object and function, and the calls with their
    inclusive instructions per callee, from one thread's uncompressed file."""
    by_object, by_function, calls = {}, {}, {}
    ob = fn = cfn = None
    call = None
    with open(path, errors="replace") as f:
        for line in f:
            if line.startswith("ob="):
                ob = line[3:].strip()
            elif line.startswith("fn="):
                fn = line[3:].strip()
            elif line.startswith("cfn="):
                cfn = line[4:].strip()
            elif line.startswith("calls="):
                call = int(line[6:].split()[0])
            elif COST.match(line):
                fields = line.split()
                if len(fields) < 2:
                    continue
                ir = int(fields[1])
                if call is not None:
                    # The line after calls= is the call's inclusive cost.
                    n, total = calls.get(cfn, (0, 0))
                    calls[cfn] = (n + call, total + ir)
                    call = None
                else:
                    by_object[ob] = by_object.get(ob, 0) + ir
                    by_function[(ob, fn)] = by_function.get((ob, fn), 0) + ir
    return {"by_object": by_object, "by_function": by_function, "calls": calls,
            "total": sum(by_object.values())}


def summarise(threads):
    """The main thread is the first part; every other thread is Mesa's."""
    main = threads[0]
    frames = main["calls"].get("eglSwapBuffers", (0, 0))[0]
    objects = {}
    for t in threads:
        for k, v in t["by_object"].items():
            objects[k] = objects.get(k, 0) + v
    return {
        "frames": frames,
        "total": sum(t["total"] for t in threads),
        "main": main["total"],
        "threads": len(threads),
        "swap": main["calls"].get("eglSwapBuffers", (0, 0))[1],
        "main_memcpy": sum(v for (_, fn), v in main["by_function"].items() if "memcpy" in fn),
        "by_object": objects,
    }
