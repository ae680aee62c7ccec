// Shared by the end-to-end tests of lumivane: starting the program, reading
// its own WAYLAND_DEBUG trace back as messages, and a few pixel helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"

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

// One line of a trace, e.g. "[123.456]  -> wl_surface@5.attach(wl_buffer@9, 0, 0)".
struct Message {
    bool request = false;
    std::string object;  // "wl_surface@5"
    std::string name;    // "attach"
    std::string args;    // "wl_buffer@9, 0, 0"
};

inline std::vector<Message> parse_trace(const std::string& text) {
    static const std::regex line(R"(^\[\s*\d+\.\d+\]\s+(-> )?(\w+@\d+)\.(\w+)\((.*)\)$)");
    std::vector<Message> messages;
    std::istringstream in(text);
    std::smatch m;
    for (std::string s; std::getline(in, s);) {
        if (std::regex_match(s, m, line)) {
            messages.push_back({m[1].matched, m[2].str(), m[3].str(), m[4].str()});
        }
    }
    return messages;
}

// The first capture of `re` in `text`, or "".
inline std::string capture(const std::string& text, const std::string& re) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(re)) && m.size() > 1 ? m[1].str() : std::string();
}

// The client's wl_output object that received the name `output`, e.g. "9".
inline std::string output_object(const std::string& trace, const std::string& output) {
    return capture(trace, R"(wl_output@(\d+)\.name\(")" + output + R"("\))");
}

// The layer surfaces the program asked for (only those on one wl_output
// object, if given): their object ids and arguments.
struct LayerSurface {
    std::string layer_surface, surface, output, layer, name_space;
};

inline std::vector<LayerSurface> layer_surfaces(const std::string& trace, const std::string& output_object = {}) {
    static const std::regex re(
        R"re(get_layer_surface\(new id zwlr_layer_surface_v1@(\d+), wl_surface@(\d+), wl_output@(\d+), (\d+), "([^"]*)"\))re");
    std::vector<LayerSurface> found;
    for (auto it = std::sregex_iterator(trace.begin(), trace.end(), re); it != std::sregex_iterator(); ++it) {
        if (output_object.empty() || (*it)[3] == output_object) {
            found.push_back({(*it)[1], (*it)[2], (*it)[3], (*it)[4], (*it)[5]});
        }
    }
    return found;
}

// The requests of one output's surface and layer surface, one letter each:
// n set_anchor(15), z set_exclusive_zone(-1), I set_input_region, C commit,
// K ack_configure, F frame, A attach, D and X destroy of the surface and of the
// layer surface; '?' for an anchor or zone of another value.
inline std::string story(const std::vector<Message>& trace, const LayerSurface& ls) {
    const std::string surface = "wl_surface@" + ls.surface;
    const std::string layer = "zwlr_layer_surface_v1@" + ls.layer_surface;
    std::string letters;
    bool started = false;
    for (const auto& m : trace) {
        if (!m.request || (m.object != surface && m.object != layer)) {
            continue;
        }
        // Before get_layer_surface the ids may have named other objects.
        started = started || (m.object == layer && m.name == "set_anchor");
        if (!started) {
            continue;
        }
        if (m.name == "set_anchor") letters += m.args == "15" ? 'n' : '?';
        if (m.name == "set_exclusive_zone") letters += m.args == "-1" ? 'z' : '?';
        if (m.name == "set_input_region") letters += 'I';
        if (m.name == "commit") letters += 'C';
        if (m.name == "ack_configure") letters += 'K';
        if (m.name == "frame") letters += 'F';
        if (m.name == "attach") letters += 'A';
        if (m.name == "destroy") letters += m.object == surface ? 'D' : 'X';
    }
    return letters;
}

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
inline std::string stale_acks(const std::vector<Message>& trace, const LayerSurface& ls) {
    const std::string layer = "zwlr_layer_surface_v1@" + ls.layer_surface;
    const std::string surface = "wl_surface@" + ls.surface;
    std::string latest, unacked, problems;
    for (const auto& m : trace) {
        if (m.object == layer && !m.request && m.name == "configure") {
            latest = unacked = m.args.substr(0, m.args.find(','));
        } else if (m.object == layer && m.request && m.name == "ack_configure") {
            if (m.args != latest) {
                problems += "ack " + m.args + " while the latest was " + latest + "; ";
            }
            unacked.clear();
        } else if (m.object == surface && m.request && m.name == "attach" && !unacked.empty()) {
            problems += "a frame without the ack of " + unacked + "; ";
            unacked.clear();
        }
    }
    return problems;
}

inline std::size_t count_requests(const std::vector<Message>& trace, const std::string& object,
                                  const std::string& name, std::size_t from = 0) {
    std::size_t n = 0;
    for (std::size_t i = from; i < trace.size(); ++i) {
        n += trace[i].request && trace[i].object == object && trace[i].name == name;
    }
    return n;
}

// Index of the first request `object.name`, or the trace's size.
inline std::size_t find_request(const std::vector<Message>& trace, const std::string& object,
                                const std::string& name) {
    for (std::size_t i = 0; i < trace.size(); ++i) {
        if (trace[i].request && trace[i].object == object && trace[i].name == name) {
            return i;
        }
    }
    return trace.size();
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

// Uniform in space, changing in time; blue marks it as this shader's.
inline const char kPulse[] = "void mainImage(out vec4 fragColor, in vec2 fragCoord) {\n"
                      "    fragColor = vec4(fract(iTime * 0.5), 64.0 / 255.0, 191.0 / 255.0, 1.0);\n"
                      "}\n";

inline bool pulse_drawn(const Image& img) { return img.pixel(0, 0).b == 191 && img.all_near(img.pixel(0, 0)); }

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string s; std::getline(in, s);) {
        lines.push_back(s);
    }
    return lines;
}

}  // namespace e2e
