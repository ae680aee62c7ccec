// Reliability on a real compositor: outputs that come and go by the dozen,
// compositors killed at random moments, shader files that are not shaders,
// and shaders whose pixels are not numbers or take long to compute. Figures
// (seeds, runs, outcomes, memory) are printed for docs/reliability.md.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.hpp"
#include "harness.hpp"
#include "messages.hpp"

using namespace harness;
using namespace e2e;

namespace {

#if defined(__SANITIZE_ADDRESS__)
// ASan holds freed memory in quarantine, so resident memory says little there.
constexpr bool address_sanitized = true;
#else
constexpr bool address_sanitized = false;
#endif

std::string lumivane()
{
    const char *path = std::getenv("LUMIVANE");
    return path ? path : "lumivane";
}

uint64_t seed_for(const char *what)
{
    const char *given = std::getenv("LUMIVANE_FAULT_SEED");
    uint64_t seed = given ? std::strtoull(given, nullptr, 0) : std::random_device{}();
    std::printf("%s: seed %llu (LUMIVANE_FAULT_SEED repeats it)\n", what,
                static_cast<unsigned long long>(seed));
    return seed;
}

// An animated shader: every frame differs, so grabs show whether it runs.
constexpr const char animated_shader[] = "void mainImage(out vec4 c, in vec2 p) {\n"
                                         "    c = vec4(fract(iTime), p / iResolution.xy, 1.0);\n"
                                         "}\n";

bool sanitizer_report(const std::string &err)
{
    return err.find("Sanitizer") != std::string::npos ||
           err.find("runtime error:") != std::string::npos;
}

struct failure_line {
    const char *format;
    int status;
};

// Every line that can end a run once the shader is built, with the status
// that goes with it: the connection's failures end with 0, the rest with 1.
const failure_line run_failures[] = {
    {msg::dispatch_failed, 0},
    {msg::flush_failed, 0},
    {msg::poll_failed, 0},
    {msg::prepare_read_failed, 0},
    {msg::read_failed, 0},
    {msg::connect_failed, 1},
    {msg::no_compositor, 1},
    {msg::no_layer_shell, 1},
    {msg::surface_failed, 1},
    {msg::region_failed, 1},
    {msg::layer_surface_failed, 1},
    {msg::frame_callback_failed, 1},
    {msg::window_surface_failed, 1},
    {msg::swap_interval_failed, 1},
    {msg::swap_failed, 1},
    {msg::frame_tracking, 1},
    {msg::size_too_large, 1},
    {msg::no_egl_wayland, 1},
    {msg::get_display_failed, 1},
    {msg::init_display_failed, 1},
    {msg::bind_api_failed, 1},
    {msg::get_configs_failed, 1},
    {msg::matching_config_failed, 1},
    {msg::gl_function_failed, 1},
    {msg::create_context_failed, 1},
    {msg::context_current_failed, 1},
    {msg::gl_problem, 1},
    {msg::make_current_failed, 1},
    {msg::gl_error, 1},
};

// The format as a whole-line pattern: %s is any text, %x a hex number, %u a
// decimal one.
bool line_matches(const std::string &line, const char *format)
{
    std::string pattern;
    for (const char *c = format; *c && *c != '\n'; c++) {
        if (c[0] == '%' && (c[1] == 's' || c[1] == 'x' || c[1] == 'u')) {
            pattern += c[1] == 's' ? ".*" : c[1] == 'x' ? "[0-9a-f]+" : "[0-9]+";
            c++;
        } else if (std::string("\\^$.|?*+()[]{}").find(*c) != std::string::npos) {
            pattern += std::string("\\") + *c;
        } else {
            pattern += *c;
        }
    }
    return std::regex_match(line, std::regex("(" + pattern + ")+"));
}

// Empty when the run ended the way every run must: a status of 0 or 1 and,
// as its last line, one of the program's own failure lines for that status.
std::string check_ending(Process &app, const std::optional<ExitStatus> &status,
                         std::string *last = nullptr)
{
    if (!status)
        return "no exit within the time limit (hang)";
    if (status->signaled)
        return "ended by " + status->describe();
    std::string err = app.stderr_text();
    if (sanitizer_report(err))
        return "sanitizer report";
    // Its own lines: neither the trace nor Mesa's.
    auto lines = Trace(err).program_lines();
    if (lines.empty())
        return "nothing on standard error";
    if (last)
        *last = lines.back();
    for (const auto &f : run_failures) {
        if (line_matches(lines.back(), f.format))
            return status->code == f.status
                       ? std::string()
                       : "status " + std::to_string(status->code) + " after '" + lines.back() + "'";
    }
    return "last line '" + lines.back() + "' is not the program's";
}

// Frames committed with a buffer: each one attaches it first.
size_t frames_committed(const Trace &trace)
{
    return trace.count_requests("wl_surface", "attach");
}

// ---------------------------------------------------------------------------
// What the trace says about the objects of each output.

// Follows every wl_output the program binds and the surface, layer surface
// and frame callbacks it makes for it, and records what goes wrong when one
// is taken away: a surface or layer surface not destroyed, or an event
// handled for an object of an output that is gone (libwayland prints events
// for destroyed proxies as "discarded", so a handled one means a live proxy).
class object_audit {
  public:
    struct output {
        uint32_t id = 0, global = 0, surface = 0, layer = 0;
        bool removed = false, surface_destroyed = false, layer_destroyed = false;
    };
    std::vector<output> outputs;
    std::vector<std::string> problems;
    size_t removed_by_global = 0, removed_by_closed = 0, callbacks_dropped = 0;
    // libwayland reuses the id of a proxy only once it is destroyed and the
    // compositor has deleted the object, so the highest id ever handed out
    // grows with every proxy that is kept, however small and reachable.
    uint32_t highest_id_at_mark = 0, highest_id = 0;

    // `mark`: the number of messages before the stretch measured.
    object_audit(const Trace &trace, size_t mark) : registry(trace.program_registry())
    {
        for (size_t i = 0; i < trace.messages().size(); i++) {
            message(trace.messages()[i]);
            if (i + 1 == mark)
                highest_id_at_mark = highest_id;
        }
    }

    size_t live(char kind) const
    {
        size_t n = 0;
        for (const auto &[id, o] : objects)
            n += o.kind == kind;
        return n;
    }
    size_t live_outputs() const
    {
        size_t n = 0;
        for (const auto &o : outputs)
            n += !o.removed;
        return n;
    }

  private:
    struct object {
        char kind; // 'o' output, 's' surface, 'l' layer surface, 'f' frame callback
        int output;
    };
    std::map<uint32_t, object> objects;
    std::set<uint32_t> dead; // ids of a removed output's objects, until reused
    // The program's: Mesa keeps registries of its own, on the same queue too.
    const uint32_t registry;

    void remove(int index, size_t *counter)
    {
        output &o = outputs[size_t(index)];
        o.removed = true;
        (*counter)++;
        objects.erase(o.id);
        dead.insert(o.id);
        for (auto it = objects.begin(); it != objects.end();) {
            if (it->second.kind == 'f' && it->second.output == index) {
                callbacks_dropped++;
                dead.insert(it->first);
                it = objects.erase(it);
            } else {
                ++it;
            }
        }
    }

    void destroyed(uint32_t id, bool output::*flag, const char *what)
    {
        auto it = objects.find(id);
        if (it == objects.end())
            return;
        if (it->second.output >= 0) {
            output &o = outputs[size_t(it->second.output)];
            if (!o.removed)
                problems.push_back(std::string(what) + " destroyed while its output is there");
            o.*flag = true;
        }
        objects.erase(it);
        dead.insert(id);
    }

    void message(const WireMessage &m)
    {
        if (m.discarded)
            return;
        if (m.request) {
            for (size_t i = 0; i < m.args.size(); i++) {
                if (m.args[i].starts_with("new id "))
                    highest_id = std::max(highest_id, m.object_arg(i));
            }
            if (m.is("wl_registry", "bind") && m.id == registry && m.string_arg(1) == "wl_output") {
                outputs.push_back({.id = m.object_arg(3), .global = uint32_t(m.number_arg(0))});
                objects[outputs.back().id] = {'o', int(outputs.size() - 1)};
            } else if (m.is("wl_compositor", "create_surface")) {
                objects[m.object_arg(0)] = {'s', -1};
            } else if (m.is("zwlr_layer_shell_v1", "get_layer_surface")) {
                uint32_t layer = m.object_arg(0), surface = m.object_arg(1), out = m.object_arg(2);
                int index = objects.count(out) ? objects[out].output : -1;
                objects[layer] = {'l', index};
                objects[surface].output = index;
                if (index >= 0) {
                    outputs[size_t(index)].surface = surface;
                    outputs[size_t(index)].layer = layer;
                }
            } else if (m.is("wl_surface", "frame")) {
                objects[m.object_arg(0)] = {'f', objects.count(m.id) ? objects[m.id].output : -1};
            } else if (m.is("wl_surface", "destroy")) {
                destroyed(m.id, &output::surface_destroyed, "surface");
            } else if (m.is("zwlr_layer_surface_v1", "destroy")) {
                destroyed(m.id, &output::layer_destroyed, "layer surface");
            }
            return;
        }
        if (dead.count(m.id))
            problems.push_back("handled after its output went: " + m.object() + "." + m.name + "(" +
                               m.arg_list() + ")");
        if (m.is("wl_display", "delete_id")) {
            dead.erase(uint32_t(m.number_arg(0)));
        } else if (m.is("wl_registry", "global_remove") && m.id == registry) {
            for (size_t i = 0; i < outputs.size(); i++) {
                if (!outputs[i].removed && outputs[i].global == m.number_arg(0))
                    remove(int(i), &removed_by_global);
            }
        } else if (m.is("zwlr_layer_surface_v1", "closed") && objects.count(m.id) &&
                   objects[m.id].output >= 0) {
            remove(objects[m.id].output, &removed_by_closed);
        } else if (m.is("wl_callback", "done") && objects.count(m.id) && objects[m.id].kind == 'f') {
            objects.erase(m.id); // the handler destroys it
        }
    }
};

struct footprint {
    long rss_kib = 0;
    size_t mappings = 0;
    size_t descriptors = 0;
};

footprint measure(pid_t pid)
{
    footprint f;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::string status = read_file(proc + "/status");
    size_t at = status.find("VmRSS:");
    if (at != std::string::npos)
        f.rss_kib = std::strtol(status.c_str() + at + 6, nullptr, 10);
    const std::string maps = read_file(proc + "/maps");
    f.mappings = size_t(std::count(maps.begin(), maps.end(), '\n'));
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(proc + "/fd"))
        f.descriptors++;
    return f;
}

class Reliability : public ::testing::Test {
  protected:
    void SetUp() override
    {
        HARNESS_REQUIRE_TOOLS("sway", "swaymsg", "grim");
    }
};

// ---------------------------------------------------------------------------

TEST_F(Reliability, OutputChurnLeavesNothingBehind)
{
    HARNESS_SKIP_UNLESS(!wlproxy_path().empty(), "WLPROXY does not name the wlproxy executable");
    // Outputs start small so that fifty of them cost sway little.
    Sway sway(1, "output * mode 64x64");
    Proxy proxy(sway);
    TempFile shader(animated_shader, "churn.frag");
    Process app({lumivane(), "--fps", "30", "*", shader.str()},
                merge(proxy.env(), {{"WAYLAND_DEBUG", "1"}}));
    LiveTrace live(app);
    size_t cursor = 0;
    // The request `name` on interface@id.
    auto request = [](const char *interface, const char *name, uint32_t id) {
        return [=](const WireMessage &m) { return m.request && m.id == id && m.is(interface, name); };
    };
    auto first = live.await(cursor, [](const WireMessage &m) {
        return m.request && m.is("zwlr_layer_shell_v1", "get_layer_surface");
    });
    ASSERT_TRUE(first) << app.describe();
    const uint32_t kept_surface = first->object_arg(1);
    ASSERT_TRUE(live.await(cursor, request("wl_surface", "attach", kept_surface))) << app.describe();
    auto kept_frames = [&] {
        return requests_on(live.read(), "wl_surface", kept_surface, "attach").size();
    };
    const Image before = sway.grab("HEADLESS-1");

    const int warm_up = 2, churns = 50;
    footprint start, end;
    size_t mark = 0;
    std::vector<size_t> kept_commits;
    for (int i = 0; i < warm_up + churns; i++) {
        if (i == warm_up) {
            std::this_thread::sleep_for(1s);
            start = measure(app.pid());
            mark = live.read().messages().size();
        }
        if (i % 10 == 0)
            kept_commits.push_back(kept_frames());

        // Plugged in: bound, given a layer surface and drawn.
        const std::string name = sway.create_output();
        auto bound = live.await(cursor, [&](const WireMessage &m) {
            return !m.request && m.is("wl_output", "name") && m.string_arg(0) == name;
        });
        ASSERT_TRUE(bound) << "churn " << i << " " << name << "\n" << app.describe();
        auto made = live.await(cursor, [&](const WireMessage &m) {
            return m.request && m.is("zwlr_layer_shell_v1", "get_layer_surface") &&
                   m.object_arg(2) == bound->id;
        });
        ASSERT_TRUE(made) << "churn " << i << "\n" << app.describe();
        const uint32_t layer = made->object_arg(0), surface = made->object_arg(1);
        ASSERT_TRUE(live.await(cursor, request("wl_surface", "attach", surface))) << "churn " << i;

        // Resized: the new size acknowledged and drawn.
        const uint32_t width = 96 + 16 * (i % 4), height = 80;
        sway.set_mode(name, int(width), int(height));
        ASSERT_TRUE(live.await(cursor, [&](const WireMessage &m) {
            return !m.request && m.id == layer && m.is("zwlr_layer_surface_v1", "configure") &&
                   m.number_arg(1) == width && m.number_arg(2) == height;
        })) << "churn " << i << "\n"
            << app.describe();
        ASSERT_TRUE(live.await(cursor, request("zwlr_layer_surface_v1", "ack_configure", layer)))
            << "churn " << i;
        ASSERT_TRUE(live.await(cursor, request("wl_surface", "attach", surface))) << "churn " << i;

        // Taken away, alternately by the global and by the layer surface.
        ASSERT_TRUE(i % 2 ? proxy.close(name) : proxy.remove(name)) << "churn " << i << "\n"
                                                                    << proxy.process().describe();
        ASSERT_TRUE(live.await(cursor, request("wl_surface", "destroy", surface)))
            << "churn " << i << "\n"
            << app.describe();
        // Events for the output the program dropped: they must find no proxy.
        sway.set_mode(name, 32, 32);
        ASSERT_TRUE(app.running()) << app.describe();
    }
    kept_commits.push_back(kept_frames());
    std::this_thread::sleep_for(1s);
    end = measure(app.pid());

    // The remaining output kept animating through every stretch of the churn.
    for (size_t i = 1; i < kept_commits.size(); i++)
        EXPECT_GE(kept_commits[i] - kept_commits[i - 1], 3u) << "stretch " << i;
    Image last;
    EXPECT_TRUE(sway.wait_for_image(
        "HEADLESS-1", [&](const Image &img) { return img.rgb != before.rgb; }, 10s, &last));

    object_audit audit(live.read(), mark);
    for (const auto &p : audit.problems)
        ADD_FAILURE() << p;
    EXPECT_EQ(audit.removed_by_global + audit.removed_by_closed, size_t(warm_up + churns));
    for (const auto &o : audit.outputs) {
        if (o.removed) {
            EXPECT_TRUE(o.surface_destroyed && o.layer_destroyed) << "wl_output@" << o.id;
        }
    }
    EXPECT_EQ(audit.live_outputs(), 1u);
    EXPECT_EQ(audit.live('s'), 1u);
    EXPECT_EQ(audit.live('l'), 1u);
    EXPECT_LE(audit.live('f'), 1u);
    EXPECT_LE(audit.highest_id, audit.highest_id_at_mark + 5) << "proxies kept per output";

    // Per output a few mappings (buffers) and descriptors would be held: the
    // same count after fifty outputs means none was kept.
    const long rss_bound_kib = 2048;
    std::printf("output churn: %d outputs plugged in, resized and taken away (%zu by "
                "global_remove, %zu by closed, %zu pending frame callbacks dropped); "
                "VmRSS %ld KiB -> %ld KiB (bound +%ld KiB%s), mappings %zu -> %zu, "
                "descriptors %zu -> %zu, highest object id %u -> %u; remaining output "
                "committed %zu frames meanwhile\n",
                warm_up + churns, audit.removed_by_global, audit.removed_by_closed,
                audit.callbacks_dropped, start.rss_kib, end.rss_kib, rss_bound_kib,
                address_sanitized ? ", not applied under ASan" : "", start.mappings, end.mappings,
                start.descriptors, end.descriptors, audit.highest_id_at_mark, audit.highest_id,
                kept_commits.back() - kept_commits.front());
    EXPECT_LE(end.mappings, start.mappings + 2);
    EXPECT_LE(end.descriptors, start.descriptors);
    if (!address_sanitized) {
        EXPECT_LE(end.rss_kib, start.rss_kib + rss_bound_kib);
    }

    // Killing the compositor ends the loop; under LeakSanitizer this exit is
    // where anything unreachable would be reported.
    sway.kill();
    auto status = app.wait_exit(30s);
    EXPECT_EQ(check_ending(app, status), "") << app.describe();
    EXPECT_TRUE(status && status->success()) << app.describe();
}

// ---------------------------------------------------------------------------

TEST_F(Reliability, CompositorKilledAtRandomMomentsEndsWithOwnLine)
{
    const uint64_t seed = seed_for("compositor kills");
    std::mt19937_64 random(seed);
    auto uniform = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    TempFile shader(animated_shader, "kill.frag");
    const char *phases[] = {"during start-up", "after the first configure", "mid-animation"};
    std::map<std::string, int> outcomes;
    const int runs = 24;
    for (int run = 0; run < runs; run++) {
        const int phase = run % 3;
        const int signal = uniform(0, 1) ? SIGKILL : SIGTERM;
        Sway sway(uniform(1, 2), "output * mode 64x64");
        Process app({lumivane(), "--fps", uniform(0, 1) ? "30" : "inf", "*", shader.str()},
                    merge(sway.env(), {{"WAYLAND_DEBUG", "1"}}));
        LiveTrace live(app);
        size_t cursor = 0;
        std::string when;
        if (phase == 0) {
            // Spread evenly over the orders of magnitude, so that the
            // connection, EGL, the shader and the round trips all get hit.
            int delay = int(std::exp(std::uniform_real_distribution<double>(0, 6.5)(random))) - 1;
            std::this_thread::sleep_for(Millis(delay));
            when = std::to_string(delay) + " ms after start";
        } else if (phase == 1) {
            ASSERT_TRUE(live.await(cursor, [](const WireMessage &m) {
                return !m.request && m.is("zwlr_layer_surface_v1", "configure");
            })) << app.describe();
            int delay = uniform(0, 30);
            std::this_thread::sleep_for(Millis(delay));
            when = std::to_string(delay) + " ms after the first configure";
        } else {
            size_t frames = size_t(uniform(3, 40));
            ASSERT_TRUE(live.wait([&](const Trace &t) { return frames_committed(t) >= frames; }, 60s))
                << app.describe();
            when = "after " + std::to_string(frames) + " frames";
        }
        sway.kill(signal);
        auto status = app.wait_exit(30s);
        std::string last;
        EXPECT_EQ(check_ending(app, status, &last), "")
            << "run " << run << ", " << strsignal(signal) << " " << when << "\n"
            << app.describe();
        outcomes[std::string(phases[phase]) + ": '" + last + "' status " +
                 (status ? std::to_string(status->code) : "none")]++;
    }
    std::printf("compositor kills: %d runs\n", runs);
    for (const auto &[outcome, n] : outcomes)
        std::printf("  %2d x %s\n", n, outcome.c_str());
}

// ---------------------------------------------------------------------------

struct bad_file {
    std::string what;
    std::string path;
    // What follows the GL version line: one of these whole, or starting with
    // one of the prefixes (compiler logs differ between drivers).
    std::vector<std::string> whole, prefixes = {};
};

void expect_refused(const Sway &sway, const bad_file &file)
{
    Process app({lumivane(), "*", file.path}, sway.env());
    auto status = app.wait_exit(30s);
    ASSERT_TRUE(status.has_value()) << file.what << ": no exit (hang)\n" << app.describe();
    EXPECT_FALSE(status->signaled) << file.what << "\n" << app.describe();
    EXPECT_EQ(status->code, 1) << file.what << "\n" << app.describe();
    EXPECT_FALSE(sanitizer_report(app.stderr_text())) << file.what << "\n" << app.describe();
    // Run line, GL version line, then the one failure; Mesa's lines aside.
    const std::string err = own_text(app.stderr_text());
    size_t run_end = err.find('\n');
    size_t version_end = err.find('\n', run_end + 1);
    ASSERT_NE(version_end, std::string::npos) << file.what << "\n" << err;
    EXPECT_TRUE(err.starts_with("Running lumivane"));
    EXPECT_EQ(err.substr(run_end + 1, 12), "GL version: ");
    const std::string rest = err.substr(version_end + 1);
    bool known = false;
    for (const auto &e : file.whole)
        known = known || rest == e;
    for (const auto &e : file.prefixes)
        known = known || rest.starts_with(e);
    EXPECT_TRUE(known) << file.what << " ended with:\n" << rest;
    std::printf("  %-28s -> %s", file.what.c_str(), rest.substr(0, rest.find('\n') + 1).c_str());
}

std::string formatted(const char *format, const std::string &path)
{
    char line[4096];
    std::snprintf(line, sizeof line, format, path.c_str());
    return line;
}

TEST_F(Reliability, BadShaderFilesEndWithTheirLine)
{
    const uint64_t seed = seed_for("shader files");
    std::mt19937_64 random(seed);
    Sway sway(1, "output * mode 64x64");
    TempDir dir;
    const std::string compiled = "Failed to compile fragment shader: ";
    const std::string linked = "Failed to link shader:\n";

    std::string bytes(4096, '\0'), text(4096, '\0');
    for (char &c : bytes)
        c = char(random());
    for (char &c : text)
        c = " \n\t;{}()=+-*/.0123456789abcdefxyzvoidfloatvec4"[random() % 46];
    write_file(dir / "random-bytes.frag", bytes);
    write_file(dir / "random-text.frag", text);
    write_file(dir / "nul-bytes.frag", std::string(4096, '\0'));

    // 3 GiB without writing it: too large for the length the GL takes.
    const std::string huge = (dir / "huge.frag").string();
    int fd = ::open(huge.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t(3) << 30), 0);
    ::close(fd);

    // A pipe has no size to measure, however much its writer has put in.
    const std::string fifo = (dir / "fifo.frag").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    Process writer({"sh", "-c", "exec yes lumivane > \"$0\"", fifo});

    // A NUL ends the text for the GL, whose compiler may then find the
    // prefix alone, which compiles but has no main to link.
    const std::vector<bad_file> files = {
        {"random bytes", (dir / "random-bytes.frag").string(), {}, {compiled, linked}},
        {"random text", (dir / "random-text.frag").string(), {}, {compiled}},
        {"NUL bytes", (dir / "nul-bytes.frag").string(), {}, {compiled, linked}},
        {"3 GiB sparse file", huge, {formatted(msg::shader_too_large, huge)}},
        {"/dev/zero (measures 0 bytes)", "/dev/zero", {}, {compiled}},
        {"directory", dir.path().string(), {formatted(msg::shader_read_failed, dir.path())}},
        {"FIFO with a writer", fifo, {msg::shader_alloc_failed}},
    };
    std::printf("shader files:\n");
    for (const auto &file : files)
        expect_refused(sway, file);
}

TEST_F(Reliability, UnreadableShaderFileEndsWithItsLine)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads files without read permission";
    Sway sway(1, "output * mode 64x64");
    TempFile file(animated_shader, "locked.frag");
    ASSERT_EQ(::chmod(file.str().c_str(), 0), 0);
    std::printf("shader files:\n");
    expect_refused(
        sway, {"no read permission", file.str(), {formatted(msg::shader_read_failed, file.str())}});
}

// No EGL vendor at all: start-up ends in main with the connection open, which
// a leak checker at exit must not report.
TEST_F(Reliability, MissingEglEndsWithItsLine)
{
    Sway sway(1, "output * mode 64x64");
    TempFile shader(animated_shader, "unused.frag");
    Process app({lumivane(), "*", shader.str()},
                merge(sway.env(), {{"__EGL_VENDOR_LIBRARY_FILENAMES", "/nonexistent.json"}}));
    auto status = app.wait_exit(30s);
    EXPECT_EQ(check_ending(app, status), "") << app.describe();
    EXPECT_EQ(last_own_line(app.stderr_text()) + "\n", msg::no_egl_wayland) << app.describe();
}

// ---------------------------------------------------------------------------

TEST_F(Reliability, NonFiniteAndSlowShadersKeepThePace)
{
    struct shader_case {
        const char *what;
        const char *source;
        int fps;
        double seconds;
        double min_rate; // commits a second at least
    };
    // Division by a zero the compiler cannot see, and a long dependent loop
    // per pixel (a frame takes a good part of a second on llvmpipe).
    const shader_case cases[] = {
        {"NaN and infinite colours",
         "void mainImage(out vec4 c, in vec2 p) {\n"
         "    float z = iTime - iTime;\n"
         "    c = vec4(z / z, 1.0 / z, -1.0 / z, log(z - 1.0));\n"
         "}\n",
         10, 3.0, 3.0},
        {"slow per pixel",
         "void mainImage(out vec4 c, in vec2 p) {\n"
         "    float a = p.x + p.y;\n"
         "    for (int i = 0; i < 30000; i++)\n"
         "        a = sin(a * 1.0001 + iTime);\n"
         "    c = vec4(fract(a), fract(iTime), 0.0, 1.0);\n"
         "}\n",
         30, 4.0, 0.25},
    };
    for (const auto &c : cases) {
        Sway sway(1, "output * mode 64x64");
        TempFile shader(c.source, "gl-fault.frag");
        Process app({lumivane(), "--fps", std::to_string(c.fps), "*", shader.str()},
                    merge(sway.env(), {{"WAYLAND_DEBUG", "1"}}));
        LiveTrace live(app);
        ASSERT_TRUE(live.wait([](const Trace &t) { return frames_committed(t) > 0; }, 30s))
            << c.what << "\n"
            << app.describe();
        std::this_thread::sleep_for(1s);
        size_t before = frames_committed(live.read());
        std::this_thread::sleep_for(Millis(long(c.seconds * 1000)));
        size_t frames = frames_committed(live.read()) - before;
        std::printf("%s at --fps %d: %zu frames in %.0f s\n", c.what, c.fps, frames, c.seconds);
        EXPECT_GE(double(frames), c.min_rate * c.seconds) << c.what;
        EXPECT_LE(double(frames), c.fps * c.seconds * 1.25 + 2) << c.what;
        for (const auto &line : live.read().program_lines())
            EXPECT_FALSE(line.starts_with("GL error")) << c.what << ": " << line;
        // Still listening to the compositor between its long frames.
        sway.kill();
        auto status = app.wait_exit(30s);
        EXPECT_EQ(check_ending(app, status), "") << c.what << "\n" << app.describe();
        EXPECT_TRUE(status && status->success()) << c.what;
    }
}

// ---------------------------------------------------------------------------
// What only a compositor can do wrong, done by the proxy: sizes the renderer
// cannot take, events for a layer surface that was closed, frame callbacks
// that are never done. A row per case is printed for docs/reliability.md.

constexpr const char fault_output[] = "HEADLESS-1";

// The same colour everywhere, its red changing with time; the blue marks it
// as the shader's, and sway's clear colour has another.
constexpr const char pulse_shader[] =
    "void mainImage(out vec4 c, in vec2 p) {\n"
    "    c = vec4(fract(iTime), 64.0 / 255.0, 191.0 / 255.0, 1.0);\n"
    "}\n";

bool ours_at(const Image &img, int x, int y)
{
    return x < img.width && y < img.height && img.pixel(x, y).b == 191;
}

// User and system time of every thread of the process, in clock ticks.
long cpu_ticks(pid_t pid)
{
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    long user = 0, system = 0;
    // From the state field on, past a name that may hold spaces.
    std::sscanf(stat.c_str() + stat.rfind(')') + 2,
                "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &user, &system);
    return user + system;
}

struct fault_run {
    Sway sway{1, "output * mode 64x64"};
    Proxy proxy{sway};
    TempFile shader{pulse_shader, "fault.frag"};
    std::unique_ptr<Process> app;

    void start()
    {
        app = std::make_unique<Process>(
            std::vector<std::string>{lumivane(), "--fps", "30", "*", shader.str()}, proxy.env());
    }
    bool shows(const std::function<bool(const Image &)> &picture, Image *last = nullptr)
    {
        return sway.wait_for_image(fault_output, picture, 30s, last);
    }
    // Drawn twice over, so that the configure sway sends once the surface is
    // mapped has come and gone.
    bool drawing()
    {
        Image first;
        return shows([](const Image &i) { return ours_at(i, 0, 0); }, &first) &&
               shows([&](const Image &i) { return i.pixel(0, 0) != first.pixel(0, 0); });
    }
};

struct compositor_fault {
    const char *what;
    // Starts the program and makes the fault; false when a step failed.
    std::function<bool(fault_run &)> make;
    // The program's last line, with status 1; empty when it must go on.
    std::string line;
    // What the output shows while the program goes on, and in words.
    std::function<bool(const Image &)> picture = nullptr;
    const char *shows = "";
    // Going on with nothing to draw: the program must sleep.
    bool idle = false;
};

void expect_handled(const compositor_fault &c)
{
    fault_run run;
    ASSERT_TRUE(c.make(run)) << c.what << "\n"
                             << (run.app ? run.app->describe() : "")
                             << run.proxy.process().describe();
    Process &app = *run.app;
    std::string did; // what it did before its ending, for the printed row
    if (c.line.empty()) {
        Image last;
        const bool shown = run.shows(c.picture, &last);
        EXPECT_TRUE(shown) << c.what << ": not " << c.shows;
        if (c.idle) {
            const long ticks_before = cpu_ticks(app.pid());
            const long wakes_before = e2e::voluntary_switches(app.pid());
            std::this_thread::sleep_for(3s);
            const long ticks = cpu_ticks(app.pid()) - ticks_before;
            const long wakes = e2e::voluntary_switches(app.pid()) - wakes_before;
            // A program that spins takes most of the 300 ticks of a core, and
            // one that polls on a short timeout wakes hundreds of times.
            EXPECT_LE(ticks, 30) << c.what << ": busy while idle";
            EXPECT_LE(wakes, 30) << c.what << ": awake while idle";
            did = "idle (" + std::to_string(ticks) + " CPU ticks and " + std::to_string(wakes) +
                  " wake-ups in 3 s), ";
        } else {
            const bool drawing =
                run.shows([&](const Image &i) { return i.pixel(0, 0) != last.pixel(0, 0); });
            EXPECT_TRUE(drawing) << c.what << ": no longer drawing";
            did = drawing ? "drawing on, " : "not drawing, ";
        }
        did += (shown ? "" : "not ") + std::string(c.shows);
        const bool running = app.running();
        EXPECT_TRUE(running) << c.what << "\n" << app.describe();
        did += running ? "; when sway was killed: " : "; had ended: ";
        run.sway.kill();
    }
    auto status = app.wait_exit(30s);
    std::string last;
    EXPECT_EQ(check_ending(app, status, &last), "") << c.what << "\n" << app.describe();
    if (!c.line.empty())
        EXPECT_EQ(last, c.line) << c.what << "\n" << app.describe();
    else
        EXPECT_TRUE(status && status->code == 0) << c.what << "\n" << app.describe();
    std::printf("| %s | %s\"%s\", %s |\n", c.what, did.c_str(), last.c_str(),
                status ? status->describe().c_str() : "no exit");
}

std::string too_large(uint32_t width, uint32_t height)
{
    char line[128];
    std::snprintf(line, sizeof line, msg::size_too_large, width, height);
    return std::string(line, std::strlen(line) - 1);
}

// The first configure rewritten, or a later one: sway sends that one when
// the output's mode changes.
std::function<bool(fault_run &)> first_configure(uint32_t width, uint32_t height)
{
    return [=](fault_run &run) {
        bool armed = run.proxy.resize_next(fault_output, width, height);
        run.start();
        return armed;
    };
}

std::function<bool(fault_run &)> later_configure(uint32_t width, uint32_t height)
{
    return [=](fault_run &run) {
        run.start();
        if (!run.drawing() || !run.proxy.resize_next(fault_output, width, height))
            return false;
        run.sway.set_mode(fault_output, 96, 80);
        return true;
    };
}

std::function<bool(fault_run &)> after_first_frames(const char *events)
{
    return [=](fault_run &run) {
        run.start();
        return run.drawing() && run.proxy.send(fault_output, events);
    };
}

TEST_F(Reliability, CompositorFaultsEndWithALineOrGoOn)
{
    HARNESS_SKIP_UNLESS(!wlproxy_path().empty(), "WLPROXY does not name the wlproxy executable");
    const auto nothing_of_ours = [](const Image &i) { return !ours_at(i, 0, 0); };
    const compositor_fault cases[] = {
        {"configure 65535x65535 (first)", first_configure(65535, 65535), too_large(65535, 65535)},
        {"configure 2147483648x1 (after a frame)", later_configure(2147483648u, 1),
         too_large(2147483648u, 1)},
        {"configure 4294967295x64 (first)", first_configure(UINT32_MAX, 64),
         too_large(UINT32_MAX, 64)},
        // Sway may configure again on its own; the new mode makes sure.
        {"configure 0x0 (first), then 96x80",
         [](fault_run &run) {
             if (!first_configure(0, 0)(run) ||
                 !run.proxy.process().wait_for_stderr("rewritten to 0x0", 30s))
                 return false;
             run.sway.set_mode(fault_output, 96, 80);
             return true;
         },
         "", [](const Image &i) { return ours_at(i, 95, 79); }, "the whole 96x80 output drawn"},
        {"configure 0x0 (after a frame, output now 96x80)", later_configure(0, 0), "",
         [](const Image &i) { return i.width == 96 && ours_at(i, 63, 63) && !ours_at(i, 64, 64); },
         "still 64x64"},
        {"closed twice", after_first_frames("closed,closed"), "", nothing_of_ours, "surface gone",
         true},
        {"configure 64x64 after closed", after_first_frames("closed,configure:64x64"), "",
         nothing_of_ours, "surface gone", true},
        {"every frame callback after the third never done",
         [](fault_run &run) {
             bool armed = run.proxy.drop_frames_after(3);
             run.start();
             return armed && run.proxy.process().wait_for_stderr("never done", 30s);
         },
         "", [](const Image &i) { return ours_at(i, 0, 0); }, "last frame shown", true},
    };
    std::printf("compositor faults:\n| Fault | What the program did |\n|---|---|\n");
    for (const auto &c : cases)
        expect_handled(c);
}

} // namespace
