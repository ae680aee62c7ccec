// Shared by the end-to-end tests of lumivane: starting the program, asking
// its WAYLAND_DEBUG trace (read by harness::Trace, whichever libwayland
// wrote it) what it did, asking the compositor what it offers, and a few
// pixel helpers.
#pragma once

#include <gtest/gtest.h>
#include <wayland-client-protocol.h>

#include <algorithm>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"
#include "trace.hpp"

namespace e2e {

using namespace harness;

inline std::string lumivane_path() {
    const char* path = std::getenv("LUMIVANE");
    return path ? path : "";
}

#define E2E_REQUIRE(...)                                                                       \
    do {                                                                                       \
        HARNESS_SKIP_UNLESS(!::e2e::lumivane_path().empty(), "LUMIVANE does not name the program"); \
        HARNESS_REQUIRE_TOOLS(__VA_ARGS__);                                                    \
    } while (0)
#define E2E_REQUIRE_SWAY() E2E_REQUIRE("sway", "swaymsg", "grim")

// The program with `args`, connected through `env`; a traced run writes the
// client's side of the protocol to its stderr.
inline std::unique_ptr<Process> start(std::vector<std::string> args, const Env& env, bool traced = false) {
    args.insert(args.begin(), lumivane_path());
    return std::make_unique<Process>(args, traced ? merge(env, {{"WAYLAND_DEBUG", "1"}}) : env);
}

// How the program binds wl_compositor on `compositor`: at the version
// offered, up to 6, where surfaces name their preferred buffer scale, as far
// as the libwayland it was built with knows.
inline std::string compositor_bind(const Compositor& compositor) {
#ifdef WL_SURFACE_PREFERRED_BUFFER_SCALE_SINCE_VERSION
    const std::uint32_t newest = WL_SURFACE_PREFERRED_BUFFER_SCALE_SINCE_VERSION;
#else
    const std::uint32_t newest = WL_SURFACE_OFFSET_SINCE_VERSION;
#endif
    return "wl_compositor " + std::to_string(std::min(compositor.offered("wl_compositor"), newest));
}

// What the program itself wrote on stderr, without the trace and Mesa's
// lines, each line ended as the program ends it.
inline std::string own_text(const std::string& err) {
    std::string text;
    for (const auto& line : Trace(err).program_lines()) {
        text += (text.empty() ? "" : "\n") + line;
    }
    return !text.empty() && err.ends_with('\n') ? text + "\n" : text;
}

// The trace of a program that is still running, read as it grows: each look
// reads only the lines written since the one before.
class LiveTrace {
public:
    explicit LiveTrace(Process& process) : process_(process) {}

    const Trace& read() {
        take(process_.stderr_text());
        return trace_;
    }
    // Waits until `done` holds for the trace so far.
    bool wait(const std::function<bool(const Trace&)>& done, Millis timeout = 30s) {
        return process_.wait_for_stderr(
            [&](const std::string& text) {
                take(text);
                return done(trace_);
            },
            timeout);
    }
    // Waits for a message at index `from` or later that `match` accepts, and
    // moves `from` past it.
    std::optional<WireMessage> await(std::size_t& from, const std::function<bool(const WireMessage&)>& match,
                                     Millis timeout = 30s) {
        std::optional<WireMessage> found;
        wait(
            [&](const Trace& trace) {
                for (; from < trace.messages().size() && !found; ++from) {
                    if (match(trace.messages()[from])) found = trace.messages()[from];
                }
                return found.has_value();
            },
            timeout);
        return found;
    }

private:
    void take(const std::string& text) {
        // Whole lines only: the last one may still be being written.
        const auto end = text.rfind('\n');
        if (end == std::string::npos || end < read_) return;
        trace_.append(std::string_view(text).substr(read_, end + 1 - read_));
        read_ = end + 1;
    }

    Process& process_;
    Trace trace_;
    std::size_t read_ = 0;
};

// The layer surfaces the program asked for (only those on one wl_output, if
// given), with the index in the trace's messages at which it asked.
struct LayerSurface {
    std::uint32_t layer_surface = 0, surface = 0, output = 0;
    std::uint64_t layer = 0;
    std::string name_space;
    std::size_t index = 0;
};

inline std::vector<LayerSurface> layer_surfaces(const Trace& trace, std::uint32_t output = 0) {
    std::vector<LayerSurface> found;
    const auto& messages = trace.messages();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const WireMessage& m = messages[i];
        if (m.request && m.is("zwlr_layer_shell_v1", "get_layer_surface") && (!output || m.object_arg(2) == output)) {
            found.push_back({m.object_arg(0), m.object_arg(1), m.object_arg(2), m.number_arg(3), m.string_arg(4), i});
        }
    }
    return found;
}

// Indices in the trace's messages of the requests `name` on one object.
inline std::vector<std::size_t> requests_on(const Trace& trace, std::string_view interface, std::uint32_t id,
                                            std::string_view name) {
    std::vector<std::size_t> found;
    const auto& messages = trace.messages();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].request && messages[i].id == id && messages[i].is(interface, name)) found.push_back(i);
    }
    return found;
}

// The requests of one output's surface and layer surface, one letter each:
// n set_anchor(15), z set_exclusive_zone(-1), I set_input_region, C commit,
// K ack_configure, F frame, A attach, D and X destroy of the surface and of the
// layer surface; '?' for an anchor or zone of another value. The story ends
// with the surface: its id may name another object after that.
inline std::string story(const std::vector<WireMessage>& messages, const LayerSurface& ls) {
    std::string letters;
    for (std::size_t i = ls.index + 1; i < messages.size() && !letters.ends_with('D'); ++i) {
        const WireMessage& m = messages[i];
        const bool surface = m.interface == "wl_surface" && m.id == ls.surface;
        if (!m.request || !(surface || (m.interface == "zwlr_layer_surface_v1" && m.id == ls.layer_surface))) {
            continue;
        }
        if (m.name == "set_anchor") letters += m.number_arg(0) == 15 ? 'n' : '?';
        if (m.name == "set_exclusive_zone") letters += m.arg_list() == "-1" ? 'z' : '?';
        if (m.name == "set_input_region") letters += 'I';
        if (m.name == "commit") letters += 'C';
        if (m.name == "ack_configure") letters += 'K';
        if (m.name == "frame") letters += 'F';
        if (m.name == "attach") letters += 'A';
        if (m.name == "destroy") letters += surface ? 'D' : 'X';
    }
    return letters;
}
inline std::string story(const Trace& trace, const LayerSurface& ls) { return story(trace.messages(), ls); }

// An output that lives on: anchored, unmoved, an empty input region and the
// initial commit without a buffer, the first configure acknowledged before
// any buffer, and after that each frame's callback asked for before the
// swap attaches and commits, with at most one acknowledgement ahead of it.
// The trace may end inside a frame.
inline const char* const kLiveStory = "^nzICK(K?FAC)+K?(FA?)?$";
// The same, ended by the destruction of the role and then of its surface.
inline const char* const kEndedStory = "^nzICK(K?FAC)+XD$";

// Acknowledgements that did not carry the latest serial received, and
// frames committed while a configure was still unacknowledged; empty when
// there were none.
inline std::string stale_acks(const Trace& trace, const LayerSurface& ls) {
    std::optional<std::uint64_t> latest, unacked;
    std::string problems;
    const auto& messages = trace.messages();
    for (std::size_t i = ls.index + 1; i < messages.size(); ++i) {
        const WireMessage& m = messages[i];
        if (m.id == ls.layer_surface && m.is("zwlr_layer_surface_v1", "configure") && !m.request) {
            latest = unacked = m.number_arg(0);
        } else if (m.id == ls.layer_surface && m.is("zwlr_layer_surface_v1", "ack_configure") && m.request) {
            if (m.number_arg(0) != latest) {
                problems += "ack " + m.arg_list() + " while the latest was " +
                            (latest ? std::to_string(*latest) : "none") + "; ";
            }
            unacked.reset();
        } else if (m.id == ls.surface && m.is("wl_surface", "attach") && m.request && unacked) {
            problems += "a frame without the ack of " + std::to_string(*unacked) + "; ";
            unacked.reset();
        } else if (m.id == ls.surface && m.is("wl_surface", "destroy") && m.request) {
            break;
        }
    }
    return problems;
}

// Voluntary context switches of the process's main thread.
inline long voluntary_switches(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            return std::stol(line.substr(line.find(':') + 1));
        }
    }
    return -1;
}

// The lines with which the loop reports a lost connection.
inline bool is_loop_line(const std::string& line) {
    return line == "Failed to dispatch events" || line == "Failed to flush" || line == "poll failure" ||
           line == "Failed to prepare read" || line == "Failed to read events";
}

// The program's last line of its own, or "" when it printed none.
inline std::string last_own_line(const std::string& err) {
    const auto lines = Trace(err).program_lines();
    return lines.empty() ? std::string() : lines.back();
}

// Uniform in space, changing in time; blue marks it as this shader's.
inline const char kPulse[] = "void mainImage(out vec4 fragColor, in vec2 fragCoord) {\n"
                      "    fragColor = vec4(fract(iTime * 0.5), 64.0 / 255.0, 191.0 / 255.0, 1.0);\n"
                      "}\n";

inline bool pulse_drawn(const Image& img) { return img.pixel(0, 0).b == 191 && img.all_near(img.pixel(0, 0)); }

}  // namespace e2e
