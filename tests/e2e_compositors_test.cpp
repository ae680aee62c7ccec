// lumivane on the other compositors Debian ships that run headless here. The
// sway tests show the program's behaviour; these show what differs from one
// compositor to the next: the globals offered and their versions, the sizes
// configured, the pace of frame callbacks, the pixels, and the end.

#include "e2e_support.hpp"

using namespace e2e;

namespace {

const char kSolid[] = "void mainImage(out vec4 fragColor, in vec2 fragCoord) {\n"
                      "    fragColor = vec4(0.2, 0.4, 0.6, 1.0);\n"
                      "}\n";
constexpr Rgb kSolidRgb{51, 102, 153};

// A compositor with wl_output v4 and no layer shell: the outputs are bound
// and announce themselves, no surface is asked for, and start-up ends with
// the layer-shell line and status 1, never a signal.
void expect_no_layer_shell_end(const Env& env, const std::string& output, const std::string& shader) {
    SCOPED_TRACE("output '" + output + "'");
    auto p = start({output, shader}, env, true);
    const auto status = p->wait_exit(30s);
    ASSERT_TRUE(status.has_value()) << p->describe();
    EXPECT_FALSE(status->signaled) << p->describe();
    EXPECT_EQ(status->code, 1) << p->describe();
    const std::string err = p->stderr_text();
    const auto lines = lines_of(err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Compositor does not offer zwlr_layer_shell_v1");
    EXPECT_EQ(err.back(), '\n');
    EXPECT_EQ(p->stdout_text(), "");

    EXPECT_NE(capture(err, R"((bind\(\d+, "wl_output", 4,))"), "") << "no v4 output was bound";
    EXPECT_GE(count_matches(err, R"(wl_output@\d+\.done\(\))"), 1u) << "the crash needs an output's done";
    EXPECT_EQ(count_matches(err, "create_surface"), 0u);
    EXPECT_EQ(count_matches(err, "get_layer_surface"), 0u);
}

}  // namespace

// KWin is the one compositor here that is not wlroots-based: a layer shell of
// version 3 (bound at 1), and its own pace of frame callbacks.
TEST(OnKwin, DrawsEveryChosenOutputAndEndsWithTheCompositor) {
    E2E_REQUIRE("kwin_wayland", "dbus-daemon");
    Kwin kwin(2, 320, 240);
    TempFile pulse(kPulse, "pulse.frag");
    TempFile solid(kSolid, "solid.frag");

    // Every output, as fast as KWin asks for frames; then one named output,
    // capped, in the overlay layer above the first.
    auto all = start({"*", pulse.str()}, kwin.env(), true);
    ASSERT_TRUE(kwin.wait_for_image("Virtual-0", pulse_drawn, 20s)) << all->describe();
    ASSERT_TRUE(kwin.wait_for_image("Virtual-1", pulse_drawn, 20s)) << all->describe();
    auto top = start({"--fps", "10", "--layer", "overlay", "Virtual-1", solid.str()}, kwin.env(), true);
    Image last;
    EXPECT_TRUE(kwin.wait_for_image("Virtual-1", [](const Image& i) { return i.all_near(kSolidRgb); }, 20s, &last))
        << "average " << last.average() << "\n" << top->describe();

    // The pulse keeps changing under KWin's frame callbacks.
    const std::uint8_t red = kwin.grab("Virtual-0").pixel(0, 0).r;
    EXPECT_TRUE(kwin.wait_for_image("Virtual-0", [&](const Image& i) { return pulse_drawn(i) && i.pixel(0, 0).r != red; },
                                    10s))
        << all->describe();

    // The cap holds with KWin's callbacks too: frames over three seconds.
    const auto before = parse_trace(top->stderr_text());
    const auto top_surfaces = layer_surfaces(top->stderr_text());
    ASSERT_EQ(top_surfaces.size(), 1u) << top->describe();
    const std::string top_surface = "wl_surface@" + top_surfaces[0].surface;
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(3s);
    const auto after = parse_trace(top->stderr_text());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double rate = double(count_requests(after, top_surface, "commit", before.size())) / seconds;
    EXPECT_GE(rate, 5.0);
    EXPECT_LE(rate, 15.0);

    kwin.kill();
    for (auto* p : {all.get(), top.get()}) {
        const auto status = p->wait_exit(15s);
        ASSERT_TRUE(status.has_value()) << p->describe();
        EXPECT_EQ(status->describe(), "exit 0") << p->describe();
        const auto lines = lines_of(p->stderr_text());
        EXPECT_TRUE(!lines.empty() && is_loop_line(lines.back())) << p->describe();
    }

    // What KWin offered and what the program asked of it.
    const std::string all_text = all->stderr_text();
    const std::string top_text = top->stderr_text();
    EXPECT_NE(capture(all_text, R"((global\(\d+, "zwlr_layer_shell_v1", 3\)))"), "");
    EXPECT_NE(capture(all_text, R"((bind\(\d+, "zwlr_layer_shell_v1", 1,))"), "");
    const auto all_trace = parse_trace(all_text);
    for (const std::string output : {"Virtual-0", "Virtual-1"}) {
        SCOPED_TRACE(output);
        const std::string object = output_object(all_text, output);
        ASSERT_NE(object, "") << "no wl_output v4 named " << output;
        const auto surfaces = layer_surfaces(all_text, object);
        ASSERT_EQ(surfaces.size(), 1u);
        EXPECT_EQ(surfaces[0].layer, "0");
        EXPECT_EQ(surfaces[0].name_space, "lumivane");
        EXPECT_NE(capture(all_text, "(zwlr_layer_surface_v1@" + surfaces[0].layer_surface +
                                        R"(\.configure\(\d+, 320, 240\)))"),
                  "");
        EXPECT_TRUE(std::regex_search(story(all_trace, surfaces[0]), std::regex(kLiveStory)))
            << story(all_trace, surfaces[0]);
        // Each frame after the first waited for KWin's callback of the last.
        EXPECT_GE(count_requests(all_trace, "wl_surface@" + surfaces[0].surface, "commit"), 10u);
    }
    EXPECT_EQ(layer_surfaces(top_text).size(), 1u);
    EXPECT_EQ(top_surfaces[0].output, output_object(top_text, "Virtual-1"));
    EXPECT_EQ(top_surfaces[0].layer, "3");
}

// mutter offers its outputs at version 3 and no layer shell: the GNOME case.
TEST(OnMutter, EndsWithTheLayerShellLine) {
    E2E_REQUIRE("mutter", "dbus-daemon");
    Mutter mutter(320, 240);
    TempFile solid(kSolid, "solid.frag");
    for (const std::string output : {"*", "Meta-0"}) {
        SCOPED_TRACE(output);
        auto p = start({output, solid.str()}, mutter.env(), true);
        const auto status = p->wait_exit(30s);
        ASSERT_TRUE(status.has_value()) << p->describe();
        EXPECT_EQ(status->describe(), "exit 1") << p->describe();
        const std::string err = p->stderr_text();
        EXPECT_TRUE(err.ends_with("\nCompositor does not offer zwlr_layer_shell_v1\n")) << err;
        EXPECT_NE(capture(err, R"((global\(\d+, "wl_output", 3\)))"), "") << "mutter now offers another version";
        EXPECT_EQ(count_matches(err, "create_surface"), 0u);
    }
}

// cage offers wl_output v4 and no layer shell; the outputs' done events come
// inside the first round trip, before the globals are checked.
TEST(OnCage, EndsWithTheLayerShellLineNotASignal) {
    E2E_REQUIRE("cage");
    Cage cage;
    TempFile solid(kSolid, "solid.frag");
    for (const std::string output : {"*", "HEADLESS-1"}) {
        expect_no_layer_shell_end(cage.env(), output, solid.str());
    }
}

// The same without cage: sway with its layer-shell global hidden.
TEST(OnSwayWithoutLayerShell, EndsWithTheLayerShellLineNotASignal) {
    E2E_REQUIRE_SWAY();
    Sway sway(1);
    TempFile solid(kSolid, "solid.frag");
    for (const std::string output : {"*", "HEADLESS-1"}) {
        Proxy proxy(sway, {"zwlr_layer_shell_v1"});
        expect_no_layer_shell_end(proxy.env(), output, solid.str());
    }
}
