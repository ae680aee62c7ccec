// Scaled outputs: the program draws at the output's pixels, not at its
// surface size, whichever protocol gives the scale, also when the scale
// changes while it draws. Which protocols a compositor offers is asked of it.
//
// The outputs' logical sizes are whole (600x480 at 2, 450x360 at 1.5): grim
// reads an output through its logical size, and one of 426.67 units (640
// pixels at 1.5) it resamples, which blurs even a sharp screen.

#include <cstdio>

#include "e2e_support.hpp"

using namespace e2e;

namespace {

// Black and white by the pixel: any enlargement shows as blocks or grey.
const char kChecker[] = "void mainImage(out vec4 fragColor, in vec2 fragCoord) {\n"
                        "    float c = mod(floor(fragCoord.x) + floor(fragCoord.y), 2.0);\n"
                        "    fragColor = vec4(c, c, c, 1.0);\n"
                        "}\n";

// The share of pixels neither black nor white, and the pixels away from
// the edges (which the compositor may round) that are not those of one
// checkerboard.
std::pair<double, std::size_t> read_checker(const Image& img) {
    std::size_t grey = 0, inside = 0, phase[2] = {0, 0};
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x) {
            const Rgb c = img.pixel(x, y);
            const bool black = c.r <= 32 && c.g <= 32 && c.b <= 32;
            const bool white = c.r >= 223 && c.g >= 223 && c.b >= 223;
            grey += !black && !white;
            if (x >= 2 && y >= 2 && x < img.width - 2 && y < img.height - 2) {
                ++inside;
                phase[(x + y + white) % 2] += black || white;
            }
        }
    }
    return {double(grey) / std::max(1, img.width * img.height), inside - std::max(phase[0], phase[1])};
}

// A cursor that the compositor draws may hide a few pixels.
bool sharp(const Image& img) { return read_checker(img).second * 200 <= std::size_t(img.width) * img.height; }

// "WxH" of arguments `w` and `w` + 1 of the last of `found`.
std::string last_size(const std::vector<WireMessage>& found, std::size_t w) {
    return found.empty() ? "?" : std::to_string(found.back().number_arg(w)) + "x" +
                                     std::to_string(found.back().number_arg(w + 1));
}

// Waits until `output` shows the checkerboard sharp and the program drew it
// without a protocol error; prints what the screen showed.
bool shows_checker(const Compositor& compositor, const std::string& output, Process& p, const char* scale,
                   Millis timeout = 10s) {
    Image img;
    const bool ok = compositor.wait_for_image(output, sharp, timeout, &img);
    const auto [grey, misplaced] = read_checker(img);
    const Trace trace(p.stderr_text());
    std::printf("scale %s: configure %s, buffer %s, screen %dx%d, %.1f %% neither black nor white, %zu misplaced\n",
                scale, last_size(trace.events("zwlr_layer_surface_v1", "configure"), 1).c_str(),
                last_size(trace.requests("wl_shm_pool", "create_buffer"), 2).c_str(), img.width, img.height,
                grey * 100, misplaced);
    return ok && p.running() && trace.count_events("wl_display", "error") == 0;
}

}  // namespace

// At start-up on a scaled output, then while the scale changes, to a
// fractional one where the compositor offers fractional scales, else to 1,
// with a mode that keeps the logical size: no configure says that anything
// changed, only the scale.
TEST(ScaleOnSway, DrawsTheOutputsPixelsAndFollowsTheScale) {
    E2E_REQUIRE("sway", "swaymsg", "grim", "wayland-info");
    Sway sway(1, "output HEADLESS-1 mode 600x480 scale 2\n");
    const bool fractional = sway.offered("wp_fractional_scale_manager_v1") && sway.offered("wp_viewporter");
    TempFile checker(kChecker, "checker.frag");
    auto p = start({"HEADLESS-1", checker.str()}, sway.env(), true);
    EXPECT_TRUE(shows_checker(sway, "HEADLESS-1", *p, "2")) << p->describe();

    sway.set_scale("HEADLESS-1", fractional ? 1.5 : 1.0, fractional ? "450x360" : "300x240");
    EXPECT_TRUE(shows_checker(sway, "HEADLESS-1", *p, fractional ? "1.5" : "1")) << p->describe();
    const Trace trace(p->stderr_text());
    EXPECT_EQ(trace.count_requests("wp_fractional_scale_manager_v1", "get_fractional_scale"), fractional ? 1u : 0u);
}

// Scales given by compositors that are not sway: labwc's from wlr-randr,
// KWin's from its command line and configuration.
TEST(ScaleOnLabwc, DrawsTheOutputsPixels) {
    HARNESS_SKIP_UNLESS_PACKAGED("labwc");
    E2E_REQUIRE("labwc", "grim", "wlr-randr");
    Labwc labwc(1);
    labwc.set_mode("HEADLESS-1", 600, 480);
    labwc.set_scale("HEADLESS-1", 1.5);
    TempFile checker(kChecker, "checker.frag");
    auto p = start({"HEADLESS-1", checker.str()}, labwc.env(), true);
    EXPECT_TRUE(shows_checker(labwc, "HEADLESS-1", *p, "1.5", 30s)) << p->describe();
}

// KWin 6 takes no screenshots here: there the last buffer is checked to be
// as large as the output's mode, and the surface smaller, as it is only on a
// scaled output.
TEST(ScaleOnKwin, DrawsTheOutputsPixels) {
    HARNESS_SKIP_UNLESS_PACKAGED("kwin-wayland");
    E2E_REQUIRE("kwin_wayland", "dbus-daemon");
    Kwin kwin(1, 640, 480, 1.5);
    TempFile checker(kChecker, "checker.frag");
    auto p = start({"Virtual-0", checker.str()}, kwin.env(), true);
    if (kwin.screenshots_available()) {
        EXPECT_TRUE(shows_checker(kwin, "Virtual-0", *p, "1.5", 30s)) << p->describe();
    }
    LiveTrace live(*p);
    EXPECT_TRUE(live.wait([](const Trace& t) { return t.count_requests("wl_surface", "attach") >= 10; }))
        << p->describe();
    const Trace& trace = live.read();
    const std::string mode = last_size(trace.events("wl_output", "mode"), 1);
    EXPECT_EQ(last_size(trace.requests("wl_shm_pool", "create_buffer"), 2), mode);
    EXPECT_NE(last_size(trace.events("zwlr_layer_surface_v1", "configure"), 1), mode) << "not a scaled output";
    EXPECT_EQ(trace.count_events("wl_display", "error"), 0u) << p->describe();
}
