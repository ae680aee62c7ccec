"""The scenarios and the clients run in each, as data.

A client config says how to start one program and how long its two kinds of
run last: a traced run (WAYLAND_DEBUG on, for commit times) and a plain run
(no tracing, for CPU, wake-ups and memory). Either length may be 0.
"""

from dataclasses import dataclass, field


@dataclass
class Client:
    key: str
    label: str
    kind: str            # "lumivane", "weston" or "swaybg"
    args: list           # after the program; "{shader}" and "{flat}" are replaced
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
    size: tuple
    clients: list
    cover: bool = False  # a fullscreen window covers the output for the whole scenario
    notes: list = field(default_factory=list)


MEMORY_S = 10.5  # plain runs that report resident memory after 10 s


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
    ]


def smoke():
    """One short repetition of two scenarios: keeps the machinery working."""
    lv = "lumivane"
    return [
        Scenario("b", "(b) one 64x64 output, default rate", 1, (64, 64), [
            Client("b", "lumivane", lv, ["HEADLESS-1", "{shader}"], 1.5, 2.0, strace=True),
            Client("b-wse", "weston-simple-egl -f", "weston", ["-f"], 1.5, 2.0),
        ]),
        Scenario("e", "(e) two 640x480 outputs, only HEADLESS-2 chosen", 2, (640, 480), [
            Client("e", "lumivane HEADLESS-2", lv, ["HEADLESS-2", "{shader}"], 1.5, 2.0),
        ]),
    ]


def with_candidates(plan, paths):
    """Adds other lumivane builds beside the one under test in (a) and (b)."""
    for sc in plan:
        if sc.key in ("a", "b"):
            for i, path in enumerate(paths, 1):
                sc.clients.append(Client(f"{sc.key}-cand{i}", f"candidate {i}", "lumivane",
                                         ["HEADLESS-1", "{shader}"], 2.5, 5.0, strace=True,
                                         program=path))
    return plan
