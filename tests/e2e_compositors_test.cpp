// lumivane on the other compositors Debian ships that run headless here. The
// sway tests show the program's behaviour; these show what differs from one
// compositor to the next: the globals offered, the sizes configured, the pace
// of frame callbacks, the pixels, what happens when an output goes, and the
// end. What a compositor decides (its versions, the order of its outputs) is
// asked of it, not written here.

#include <algorithm>
#include <limits>

#include "e2e_support.hpp"
#include "trace.hpp"

using namespace e2e;

namespace {

const char kSolid[] = "void mainImage(out vec4 fragColor, in vec2 fragCoord) {\n"
                      "    fragColor = vec4(0.2, 0.4, 0.6, 1.0);\n"
                      "}\n";
constexpr Rgb kSolidRgb{51, 102, 153};
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// A layer surface the program asked for, and where in the trace it did.
struct Layer {
    std::uint32_t layer_surface = 0, surface = 0, output = 0;
    std::uint64_t layer = 0;
    std::string name_space;
    std::size_t index = 0;
};

// The program's layer surfaces, only those on the wl_output `output` if given.
std::vector<Layer> layers(const Trace& trace, std::uint32_t output = 0) {
    std::vector<Layer> found;
    const auto& messages = trace.messages();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const WireMessage& m = messages[i];
        if (m.request && m.is("zwlr_layer_shell_v1", "get_layer_surface") && (output == 0 || m.object_arg(2) == output)) {
            found.push_back({m.object_arg(0), m.object_arg(1), m.object_arg(2), m.number_arg(3), m.string_arg(4), i});
        }
    }
    return found;
}

// The index of the first request `interface@id.name` from message `from`
// on, or kNone.
std::size_t find_request(const Trace& trace, std::string_view interface, std::uint32_t id, std::string_view name,
                         std::size_t from = 0) {
    const auto& messages = trace.messages();
    for (std::size_t i = from; i < messages.size(); ++i) {
        if (messages[i].request && messages[i].id == id && messages[i].is(interface, name)) {
            return i;
        }
    }
    return kNone;
}

// Commits of the layer's surface from message `from` on (from its creation
// by default).
std::size_t commits(const Trace& trace, const Layer& layer, std::size_t from = 0) {
    std::size_t n = 0;
    const auto& messages = trace.messages();
    for (std::size_t i = std::max(from, layer.index); i < messages.size(); ++i) {
        n += messages[i].request && messages[i].id == layer.surface && messages[i].is("wl_surface", "commit");
    }
    return n;
}

// Frames asked for while the callback of the one before had not come: the
// program draws an output only once the compositor called it back.
std::size_t unpaced_frames(const Trace& trace, const Layer& layer) {
    std::uint32_t pending = 0;
    std::size_t early = 0;
    const auto& messages = trace.messages();
    for (std::size_t i = layer.index; i < messages.size(); ++i) {
        const WireMessage& m = messages[i];
        if (m.request && m.id == layer.surface && m.is("wl_surface", "frame")) {
            early += pending != 0;
            pending = m.object_arg(0);
        } else if (!m.request && pending != 0 && m.id == pending && m.is("wl_callback", "done")) {
            pending = 0;
        }
    }
    return early;
}

// The sizes the compositor configured the layer surface with, "WxH" each.
std::vector<std::string> configured_sizes(const Trace& trace, const Layer& layer) {
    std::vector<std::string> sizes;
    const auto& messages = trace.messages();
    for (std::size_t i = layer.index; i < messages.size(); ++i) {
        const WireMessage& m = messages[i];
        if (!m.request && m.id == layer.layer_surface && m.is("zwlr_layer_surface_v1", "configure")) {
            sizes.push_back(std::to_string(m.number_arg(1)) + "x" + std::to_string(m.number_arg(2)));
        }
    }
    return sizes;
}

// Reads the program's trace until `done` holds of it, the program has
// ended, or `timeout` passes; `last` receives the final reading.
bool wait_for_trace(Process& p, const std::function<bool(const Trace&)>& done, Millis timeout, Trace& last) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const bool ended = !p.running();
        last = Trace(p.stderr_text());
        if (done(last)) {
            return true;
        }
        if (ended || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(250ms);
    }
}

// The program's layer on the output named `output`; empty while it has none.
std::optional<Layer> layer_on(const Trace& trace, const std::string& output) {
    const std::uint32_t id = trace.output_named(output);
    const auto found = id == 0 ? std::vector<Layer>{} : layers(trace, id);
    return found.empty() ? std::nullopt : std::optional<Layer>(found.front());
}

// Waits until the program has committed `frames` frames on each of `outputs`.
void expect_frames(Process& p, const std::vector<std::string>& outputs, std::size_t frames, Trace& trace) {
    const bool drawn = wait_for_trace(p, [&](const Trace& t) {
        return std::all_of(outputs.begin(), outputs.end(), [&](const std::string& o) {
            const auto layer = layer_on(t, o);
            return layer && commits(t, *layer) >= frames;
        });
    }, 60s, trace);
    EXPECT_TRUE(drawn) << "not " << frames << " frames on every output\n" << p.describe();
}

// Waits until the program has released the wl_output named `output`, as it
// does once the output's global went away.
bool wait_for_release(Process& p, const std::string& output, Trace& trace) {
    return wait_for_trace(p, [&](const Trace& t) {
        const std::uint32_t id = t.output_named(output);
        return id != 0 && find_request(t, "wl_output", id, "release") != kNone;
    }, 20s, trace);
}

// Waits until the program has committed ten more frames on `output` after
// message `from`.
bool wait_for_frames_after(Process& p, const std::string& output, std::size_t from, Trace& trace) {
    return wait_for_trace(p, [&](const Trace& t) {
        const auto layer = layer_on(t, output);
        return layer && commits(t, *layer, from) >= 10;
    }, 30s, trace);
}

// The ending the program gives when its compositor goes: status 0 and one of
// the loop's lines last.
void expect_loop_end(Process& p) {
    const auto status = p.wait_exit(15s);
    ASSERT_TRUE(status.has_value()) << p.describe();
    EXPECT_EQ(status->describe(), "exit 0") << p.describe();
    const auto lines = Trace(p.stderr_text()).program_lines();
    EXPECT_TRUE(!lines.empty() && is_loop_line(lines.back())) << p.describe();
}

// After the wl_output global of `output` went away: the role object before
// its surface, then the output itself, and no protocol error.
void expect_output_let_go(const Trace& trace, const std::string& output) {
    SCOPED_TRACE("removed " + output);
    const std::uint32_t id = trace.output_named(output);
    const auto layer = layer_on(trace, output);
    ASSERT_TRUE(layer.has_value());
    const std::size_t role = find_request(trace, "zwlr_layer_surface_v1", layer->layer_surface, "destroy", layer->index);
    const std::size_t surface = find_request(trace, "wl_surface", layer->surface, "destroy", layer->index);
    const std::size_t released = find_request(trace, "wl_output", id, "release");
    ASSERT_NE(role, kNone) << "the layer surface was never destroyed";
    ASSERT_NE(surface, kNone) << "the surface was never destroyed";
    EXPECT_LT(role, surface) << "the surface went before its role object";
    EXPECT_LT(surface, released);
}

// A compositor without a layer shell: start-up ends with the layer-shell line
// and status 1, never a signal, and asks for no surface. The program binds
// the outputs that are offered at version 4 (and an output's done can come
// before the globals are checked); `outputs` is how many there are of those.
void expect_no_layer_shell_end(const Env& env, std::uint32_t output_version, std::size_t outputs,
                               const std::string& output, const std::string& shader) {
    SCOPED_TRACE("output '" + output + "'");
    auto p = start({output, shader}, env, true);
    const auto status = p->wait_exit(30s);
    ASSERT_TRUE(status.has_value()) << p->describe();
    EXPECT_EQ(status->describe(), "exit 1") << p->describe();
    EXPECT_EQ(p->stdout_text(), "");
    const std::string err = p->stderr_text();
    EXPECT_EQ(err.back(), '\n');
    const Trace trace(err);
    const auto lines = trace.program_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Compositor does not offer zwlr_layer_shell_v1");

    const auto binds = trace.program_binds();
    const auto bound = std::count(binds.begin(), binds.end(), "wl_output 4");
    if (output_version >= 4) {
        EXPECT_EQ(bound, static_cast<std::ptrdiff_t>(outputs)) << "outputs offered at version " << output_version;
        EXPECT_GE(trace.count_events("wl_output", "done"), 1u);
    } else {
        EXPECT_EQ(bound, 0) << "outputs offered at version " << output_version;
    }
    EXPECT_EQ(trace.count_requests("wl_compositor", "create_surface"), 0u);
    EXPECT_EQ(trace.count_requests("zwlr_layer_shell_v1", "get_layer_surface"), 0u);
}

void expect_no_layer_shell_end(const Compositor& compositor, const std::string& output, const std::string& shader) {
    const auto globals = compositor.globals();
    const auto outputs = std::count_if(globals.begin(), globals.end(), [](const Global& g) {
        return g.interface == "wl_output" && g.version >= 4;
    });
    expect_no_layer_shell_end(compositor.env(), compositor.offered("wl_output"), static_cast<std::size_t>(outputs),
                              output, shader);
}

// The pulse over the whole output but for a cursor the compositor may draw
// into it (labwc draws its own on headless outputs).
bool pulse_covers(const Image& img) {
    const Rgb corner = img.pixel(img.width - 1, img.height - 1);
    return corner.b == 191 && img.count_near(corner) * 100 >= std::size_t(img.width) * img.height * 98;
}

std::unique_ptr<Wlroots> start_wlroots(const std::string& name, int outputs) {
    if (name == "labwc") return std::make_unique<Labwc>(outputs);
    if (name == "phoc") return std::make_unique<Phoc>(outputs);
    return std::make_unique<Wayfire>(outputs);
}

}  // namespace

// labwc, phoc and Wayfire: wlroots compositors that come with Debian 13 or
// later, each packaged and started under its own name.
class OnWlroots : public testing::TestWithParam<const char*> {};

TEST_P(OnWlroots, DrawsEveryOutputAndKeepsDrawingWhenOneGoes) {
    const std::string name = GetParam();
    HARNESS_SKIP_UNLESS_PACKAGED(name);
    E2E_REQUIRE(name, "grim", "wlr-randr", "wayland-info");
    if (name == "wayfire") {
        const auto version = Wayfire::installed_version();
        if (!version || *version < Version{0, 10, 0}) {
            GTEST_SKIP() << "Wayfire " << (version ? version->str() : "of unknown version")
                         << " cannot start without a DRM device; 0.10 can";
        }
    }
    auto compositor = start_wlroots(name, 2);
    // Sizes of their own, so that each configure shows which output it is for.
    compositor->set_mode("HEADLESS-1", 480, 320);
    compositor->set_mode("HEADLESS-2", 320, 240);
    TempFile pulse(kPulse, "pulse.frag");
    auto p = start({"*", pulse.str()}, compositor->env(), true);
    for (const std::string output : {"HEADLESS-1", "HEADLESS-2"}) {
        EXPECT_TRUE(compositor->wait_for_image(output, pulse_covers, 30s)) << output << "\n" << p->describe();
    }
    Trace trace;
    expect_frames(*p, {"HEADLESS-1", "HEADLESS-2"}, 10, trace);

    auto binds = trace.program_binds();
    std::sort(binds.begin(), binds.end());
    EXPECT_EQ(binds, (std::vector<std::string>{compositor_bind(*compositor), "wl_output 4", "wl_output 4",
                                               "zwlr_layer_shell_v1 1"}));
    for (const auto& output : compositor->outputs()) {
        SCOPED_TRACE(output.name);
        const auto layer = layer_on(trace, output.name);
        ASSERT_TRUE(layer.has_value());
        EXPECT_EQ(layer->layer, 0u);
        const auto sizes = configured_sizes(trace, *layer);
        ASSERT_FALSE(sizes.empty());
        EXPECT_EQ(sizes, std::vector<std::string>(sizes.size(), std::to_string(output.width) + "x" +
                                                                    std::to_string(output.height)));
        EXPECT_EQ(unpaced_frames(trace, *layer), 0u);
    }

    // One output turned off: its global goes, and the other output's frames go on.
    compositor->disable_output("HEADLESS-2");
    EXPECT_TRUE(wait_for_release(*p, "HEADLESS-2", trace)) << p->describe();
    EXPECT_TRUE(wait_for_frames_after(*p, "HEADLESS-1", trace.messages().size(), trace)) << "HEADLESS-1 stopped\n"
                                                                                         << p->describe();
    EXPECT_TRUE(p->running()) << p->describe();
    EXPECT_EQ(trace.count_events("wl_display", "error"), 0u) << p->describe();
    expect_output_let_go(trace, "HEADLESS-2");
    EXPECT_TRUE(compositor->wait_for_image("HEADLESS-1", pulse_covers, 10s));

    compositor->kill();
    expect_loop_end(*p);
}

INSTANTIATE_TEST_SUITE_P(, OnWlroots, testing::Values("labwc", "phoc", "wayfire"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// sway 1.10 on takes headless outputs away as a monitor that is turned off or
// unplugged: the output that is left keeps its frames, and the program never
// destroys a surface before its role (wlroots 0.18 on ends the connection).
TEST(OnSway, KeepsDrawingWhenOtherOutputsAreDisabledAndUnplugged) {
    E2E_REQUIRE_SWAY();
    Sway sway(3);
    if (!sway.can_remove_outputs()) {
        GTEST_SKIP() << "sway " << sway.version() << " cannot disable or unplug a headless output; sway 1.10 can";
    }
    std::vector<std::string> names;
    for (const auto& output : sway.outputs()) {
        sway.set_mode(output.name, 320, 240);
        names.push_back(output.name);
    }
    ASSERT_EQ(names.size(), 3u);
    TempFile pulse(kPulse, "pulse.frag");
    auto p = start({"*", pulse.str()}, sway.env(), true);
    Trace trace;
    expect_frames(*p, names, 3, trace);

    const std::string& disabled = names[0];
    const std::string& unplugged = names[1];
    const std::string& kept = names[2];
    sway.disable_output(disabled);
    EXPECT_TRUE(wait_for_release(*p, disabled, trace)) << p->describe();
    sway.unplug_output(unplugged);
    EXPECT_TRUE(wait_for_release(*p, unplugged, trace)) << p->describe();
    EXPECT_TRUE(wait_for_frames_after(*p, kept, trace.messages().size(), trace)) << kept << " stopped\n"
                                                                               << p->describe();
    EXPECT_TRUE(p->running()) << p->describe();
    EXPECT_EQ(trace.count_events("wl_display", "error"), 0u) << p->describe();
    for (const auto& output : {disabled, unplugged}) {
        expect_output_let_go(trace, output);
    }
    EXPECT_TRUE(sway.wait_for_image(kept, pulse_drawn, 10s));
}

// KWin is the one compositor here that is not wlroots-based: its own pace of
// frame callbacks, and pixels only where it composites with OpenGL (KWin 5.27
// here; KWin 6 falls back to QPainter on llvmpipe, and its screenshots with it).
TEST(OnKwin, DrawsEveryChosenOutputAndEndsWithTheCompositor) {
    HARNESS_SKIP_UNLESS_PACKAGED("kwin-wayland");
    E2E_REQUIRE("kwin_wayland", "dbus-daemon");
    Kwin kwin(2, 320, 240);
    const bool pixels = kwin.screenshots_available();
    if (!pixels) {
        std::cout << "KWin offers no screenshots here: checked from the trace only\n";
    }
    TempFile pulse(kPulse, "pulse.frag");
    TempFile solid(kSolid, "solid.frag");

    // Every output, as fast as KWin asks for frames; then one named output,
    // capped, in the overlay layer above the first.
    auto all = start({"*", pulse.str()}, kwin.env(), true);
    Trace all_trace;
    if (pixels) {
        ASSERT_TRUE(kwin.wait_for_image("Virtual-0", pulse_drawn, 20s)) << all->describe();
        ASSERT_TRUE(kwin.wait_for_image("Virtual-1", pulse_drawn, 20s)) << all->describe();
    } else {
        expect_frames(*all, {"Virtual-0", "Virtual-1"}, 3, all_trace);
    }
    auto top = start({"--fps", "10", "--layer", "overlay", "Virtual-1", solid.str()}, kwin.env(), true);
    if (pixels) {
        Image last;
        EXPECT_TRUE(kwin.wait_for_image("Virtual-1", [](const Image& i) { return i.all_near(kSolidRgb); }, 20s, &last))
            << "average " << last.average() << "\n" << top->describe();
        // The pulse keeps changing under KWin's frame callbacks.
        const std::uint8_t red = kwin.grab("Virtual-0").pixel(0, 0).r;
        EXPECT_TRUE(kwin.wait_for_image(
            "Virtual-0", [&](const Image& i) { return pulse_drawn(i) && i.pixel(0, 0).r != red; }, 10s))
            << all->describe();
    }

    // The cap holds with KWin's callbacks too: frames over three seconds.
    Trace top_trace;
    expect_frames(*top, {"Virtual-1"}, 1, top_trace);
    const auto top_layers = layers(top_trace);
    ASSERT_EQ(top_layers.size(), 1u) << top->describe();
    const std::size_t before = top_trace.messages().size();
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(3s);
    top_trace = Trace(top->stderr_text());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double rate = double(commits(top_trace, top_layers[0], before)) / seconds;
    EXPECT_GE(rate, 5.0);
    EXPECT_LE(rate, 15.0);

    kwin.kill();
    expect_loop_end(*all);
    expect_loop_end(*top);

    // What the program asked of KWin, whatever version of the layer shell it offered.
    all_trace = Trace(all->stderr_text());
    top_trace = Trace(top->stderr_text());
    for (const auto* trace : {&all_trace, &top_trace}) {
        const auto binds = trace->program_binds();
        EXPECT_EQ(std::count(binds.begin(), binds.end(), "zwlr_layer_shell_v1 1"), 1);
    }
    EXPECT_EQ(layers(all_trace).size(), 2u);
    for (const std::string output : {"Virtual-0", "Virtual-1"}) {
        SCOPED_TRACE(output);
        const auto layer = layer_on(all_trace, output);
        ASSERT_TRUE(layer.has_value()) << "no wl_output v4 named " << output;
        EXPECT_EQ(layer->layer, 0u);
        EXPECT_EQ(layer->name_space, "lumivane");
        const auto sizes = configured_sizes(all_trace, *layer);
        ASSERT_FALSE(sizes.empty());
        EXPECT_EQ(sizes, std::vector<std::string>(sizes.size(), "320x240"));
        // Each frame after the first waited for KWin's callback of the last.
        EXPECT_GE(commits(all_trace, *layer), 10u);
        EXPECT_EQ(unpaced_frames(all_trace, *layer), 0u);
    }
    EXPECT_EQ(layers(top_trace).size(), 1u);
    EXPECT_EQ(top_layers[0].output, top_trace.output_named("Virtual-1"));
    EXPECT_EQ(top_layers[0].layer, 3u);
    EXPECT_EQ(unpaced_frames(top_trace, top_layers[0]), 0u);
}

// mutter and cage offer no layer shell: the GNOME and the kiosk case.
TEST(OnMutter, EndsWithTheLayerShellLine) {
    HARNESS_SKIP_UNLESS_PACKAGED("mutter");
    E2E_REQUIRE("mutter", "dbus-daemon", "wayland-info");
    Mutter mutter(320, 240);
    TempFile solid(kSolid, "solid.frag");
    for (const std::string output : {"*", "Meta-0"}) {
        expect_no_layer_shell_end(mutter, output, solid.str());
    }
}

TEST(OnCage, EndsWithTheLayerShellLineNotASignal) {
    HARNESS_SKIP_UNLESS_PACKAGED("cage");
    E2E_REQUIRE("cage", "wayland-info");
    Cage cage;
    TempFile solid(kSolid, "solid.frag");
    for (const std::string output : {"*", "HEADLESS-1"}) {
        expect_no_layer_shell_end(cage, output, solid.str());
    }
}

// The same without cage: sway with its layer-shell global hidden.
TEST(OnSwayWithoutLayerShell, EndsWithTheLayerShellLineNotASignal) {
    E2E_REQUIRE_SWAY();
    HARNESS_REQUIRE_TOOLS("wayland-info");
    Sway sway(1);
    TempFile solid(kSolid, "solid.frag");
    for (const std::string output : {"*", "HEADLESS-1"}) {
        Proxy proxy(sway, {"zwlr_layer_shell_v1"});
        expect_no_layer_shell_end(proxy.env(), sway.offered("wl_output"), 1, output, solid.str());
    }
}
