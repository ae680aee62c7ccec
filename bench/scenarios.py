"""The scenarios and the clients run in each, as data.

A client config says how to start one program and how long its two kinds of
run last: a traced run (WAYLAND_DEBUG on, for commit times) and a plain run
(no tracing, for CPU, wake-ups and memory). Either length may be 0.
"""

from dataclasses import dataclass, field, replace


@dataclass
class Client:
    key: str
    label: str
    kind: str            # "lumivane", "weston" or "swaybg"
    args: list           # after the program; "{shader}", "{shader-es}", "{flat}",
                         # "{constant}" and "{examples}" are replaced
    traced_s: float = 3.0
    plain_s: float = 5.0
    outputs: int = 1     # how many outputs it draws
    strace: bool = False
    program: str = ""    # a lumivane binary other than the one under test


@dataclass
class Scenario:
    key: str
    title: str
    outputs: int
    size: tuple          # each output's mode, in pixels
    clients: list
    scale: float = 1.0   # each output's scale
    cover: bool = False  # a fullscreen window covers the output for the whole scenario
    notes: list = field(default_factory=list)
    profile: Client = None  # run once more under a profiler, after the measured runs


MEMORY_S = 10.5  # plain runs that report resident memory after 10 s
PROFILE_S = 10.0  # frames profiled, in seconds under the profiler

# The lumivane client that another build of lumivane stands beside, per scenario:
# one scenario at each output size, and the 1920x1080 one.
COMPARED = {"a": "a", "b": "b", "d": "d4", "h": "h"}


def full():
    lv = "lumivane"
    one = ["HEADLESS-1", "{shader}"]
    return [
        Scenario("a", "(a) one 640x480 output, default rate", 1, (640, 480), [
            Client("a", "lumivane", lv, one, 2.5, MEMORY_S, strace=True),
            Client("a-wse", "weston-simple-egl -f", "weston", ["-f"], 2.5, 5.0, strace=True),
            Client("a-swaybg", "swaybg -c '#336699'", "swaybg",
                   ["-o", "HEADLESS-1", "-c", "#336699"], 2.5, MEMORY_S),
        ]),
        Scenario("b", "(b) one 64x64 output, default rate", 1, (64, 64), [
            Client("b", "lumivane", lv, one, 2.5, MEMORY_S, strace=True),
            Client("b-wse", "weston-simple-egl -f", "weston", ["-f"], 2.5, MEMORY_S, strace=True),
            Client("b-flat", "lumivane, flat shader", lv, ["HEADLESS-1", "{flat}"], 2.5, 5.0),
            Client("b30", "lumivane --fps 30 (64x64)", lv, ["--fps", "30"] + one, 5.0, 0.0),
        ]),
        Scenario("c", "(c) one 640x480 output, --fps 30 and --fps 24", 1, (640, 480), [
            Client("c30", "lumivane --fps 30", lv, ["--fps", "30"] + one, 5.0, 4.0),
            Client("c24", "lumivane --fps 24", lv, ["--fps", "24"] + one, 5.0, 4.0),
        ]),
        Scenario("d", "(d) four 320x240 outputs", 4, (320, 240), [
            Client("d1", "lumivane HEADLESS-1 (1 of 4 outputs)", lv, one, 2.5, 5.0, outputs=1),
            Client("d4", "lumivane '*' (4 outputs)", lv, ["*", "{shader}"], 2.5, 5.0, outputs=4),
            Client("d4f", "lumivane --fps 30 '*' (4 outputs)", lv,
                   ["--fps", "30", "*", "{shader}"], 2.5, 0.0, outputs=4),
        ]),
        Scenario("d2", "(d) two 320x240 outputs", 2, (320, 240), [
            Client("d2", "lumivane '*' (2 outputs)", lv, ["*", "{shader}"], 2.5, 5.0, outputs=2),
        ]),
        Scenario("e", "(e) two 640x480 outputs, only HEADLESS-2 chosen", 2, (640, 480), [
            Client("e", "lumivane HEADLESS-2", lv, ["HEADLESS-2", "{shader}"], 2.5, 5.0),
        ]),
        Scenario("f", "(f) a name that matches no output", 1, (640, 480), [
            Client("f", "lumivane NO-SUCH-OUTPUT", lv, ["NO-SUCH-OUTPUT", "{shader}"], 0.0, 5.0),
        ]),
        Scenario("g", "(g) the chosen output covered by a fullscreen window", 1, (640, 480), [
            Client("g", "lumivane under weston-simple-egl -f", lv, one, 2.5, 5.0),
        ], cover=True),
        # A full-HD screen, where every cost per pixel shows; cells.frag draws
        # under ten frames a second here, so its runs are longer.
        Scenario("h", "(h) one 1920x1080 output, default rate", 1, (1920, 1080), [
            Client("h", "lumivane", lv, one, 2.5, 5.0),
            Client("h-wse", "weston-simple-egl -f -o", "weston", ["-f", "-o"], 2.5, 5.0),
            Client("h-const", "lumivane, constant-colour shader", lv,
                   ["HEADLESS-1", "{constant}"], 2.5, 5.0),
            Client("h-cells", "lumivane, examples/cells.frag", lv,
                   ["HEADLESS-1", "{examples}/cells.frag"], 4.0, 6.0),
        ], profile=Client("h-profile", "lumivane, constant-colour shader", lv,
                          ["HEADLESS-1", "{constant}"])),
        # The same screen at scale 2: a 960x540 surface, which lumivane fills
        # with the screen's 1920x1080 pixels.
        Scenario("h2", "(h2) the same 1920x1080 output at scale 2, default rate", 1, (1920, 1080), [
            Client("h2", "lumivane at scale 2", lv, one, 2.5, 5.0),
            Client("h2-10", "lumivane --fps 10 at scale 2", lv, ["--fps", "10"] + one, 2.5, 5.0),
        ], scale=2.0),
        # A shader that GLSL 1.10 refuses is compiled twice before its first
        # frame: what that costs, against the same shader in GLSL 1.10. The
        # time to the first buffer follows the machine's load; the CPU time of
        # a start-up that draws nothing (no output matches) does not.
        Scenario("i", "(i) start-up of a shader only GLSL ES 3.00 takes", 1, (640, 480), [
            Client("i", "lumivane, bench shader in GLSL 1.10", lv, one, 1.5, 0.0),
            Client("i-es", "lumivane, bench shader in GLSL ES 3.00", lv,
                   ["HEADLESS-1", "{shader-es}"], 1.5, 0.0),
            Client("i-idle", "lumivane NO-SUCH-OUTPUT, bench shader in GLSL 1.10", lv,
                   ["NO-SUCH-OUTPUT", "{shader}"], 0.0, 2.0),
            Client("i-es-idle", "lumivane NO-SUCH-OUTPUT, bench shader in GLSL ES 3.00", lv,
                   ["NO-SUCH-OUTPUT", "{shader-es}"], 0.0, 2.0),
        ]),
    ]


def smoke():
    """One short repetition of two scenarios: keeps the machinery working."""
    lv = "lumivane"
    return [
        Scenario("b", "(b) one 64x64 output, default rate", 1, (64, 64), [
            Client("b", "lumivane", lv, ["HEADLESS-1", "{shader}"], 1.5, 2.0, strace=True),
            Client("b-wse", "weston-simple-egl -f", "weston", ["-f"], 1.5, 2.0),
        ], profile=Client("b-profile", "lumivane, constant-colour shader", lv,
                          ["HEADLESS-1", "{constant}"])),
        Scenario("e", "(e) two 640x480 outputs, only HEADLESS-2 chosen", 2, (640, 480), [
            Client("e", "lumivane HEADLESS-2", lv, ["HEADLESS-2", "{shader}"], 1.5, 2.0),
        ]),
    ]


def with_candidates(plan, candidates):
    """Adds other lumivane builds beside the one under test, with its arguments.

    Each candidate is (key suffix, label, path, strace)."""
    for sc in plan:
        base = next((c for c in sc.clients if c.key == COMPARED.get(sc.key)), None)
        if base is None:
            continue
        for suffix, label, path, strace in candidates:
            sc.clients.append(replace(base, key=f"{base.key}-{suffix}",
                                      label=label + base.label[len("lumivane"):],
                                      plain_s=min(base.plain_s, 5.0),
                                      strace=strace and base.strace, program=path))
    return plan
