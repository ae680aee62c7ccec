// Scaled outputs: the program draws at the output's pixels, not at its
// surface size, whichever protocol gives the scale, also when the scale
// changes while it draws. Which protocols a compositor offers is asked of it.
//
// The outputs are 600x480, whose logical size is whole at 1.5 and 2: grim
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

// What the screen shows of the checkerboard: pixels neither black nor
// white, and pixels away from the edges that are not those of one
// checkerboard (the compositor may round the surface's last row or column).
struct Checker {
    double grey_share = 0;
    std::size_t misplaced = 0;
    std::size_t inside = 0;
    // A cursor that the compositor draws may hide a few.
    bool sharp() const { return misplaced * 200 <= inside; }
};

Checker read_checker(const Image& img) {
    constexpr int kEdge = 2;
    auto white = [&](int x, int y) -> std::optional<bool> {
        const Rgb c = img.pixel(x, y);
        if (c.r <= 32 && c.g <= 32 && c.b <= 32) return false;
        if (c.r >= 223 && c.g >= 223 && c.b >= 223) return true;
        return std::nullopt;
    };
    std::size_t grey = 0, phase[2] = {0, 0}, inside = 0;
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x) {
            const auto w = white(x, y);
            grey += !w;
            if (x >= kEdge && y >= kEdge && x < img.width - kEdge && y < img.height - kEdge) {
                ++inside;
                if (w) ++phase[(x + y + *w) % 2];
            }
        }
    }
    return {double(grey) / std::max(1, img.width * img.height), inside - std::max(phase[0], phase[1]), inside};
}

// "WxH" of the last message `interface.name` whose width and height are
// arguments `w` and `w` + 1; "?" when there was none.
std::string last_size(const Trace& trace, bool request, std::string_view interface, std::string_view name,
                      std::size_t w) {
    const auto found = request ? trace.requests(interface, name) : trace.events(interface, name);
    return found.empty() ? "?"
                         : std::to_string(found.back().number_arg(w)) + "x" + std::to_string(found.back().number_arg(w + 1));
}

// The size of the program's last buffer, as Mesa made it: in shared memory
// without a GPU, as a dma-buf with one.
std::string buffer_size(const Trace& trace) {
    const std::string shm = last_size(trace, true, "wl_shm_pool", "create_buffer", 2);
    return shm != "?" ? shm : last_size(trace, true, "zwp_linux_buffer_params_v1", "create_immed", 1);
}

// Waits until `compositor` shows the checkerboard sharp on `output`, or
// `timeout` passes; prints what the screen showed.
bool shows_checker(const Compositor& compositor, const std::string& output, Process& p, const std::string& scale,
                   Millis timeout = 10s) {
    Image img;
    const bool sharp =
        compositor.wait_for_image(output, [](const Image& i) { return read_checker(i).sharp(); }, timeout, &img);
    const Checker seen = read_checker(img);
    const Trace trace(p.stderr_text());
    std::printf("scale %s: configure %s, buffer %s, screen %dx%d, %.1f %% neither black nor white, %zu misplaced\n",
                scale.c_str(), last_size(trace, false, "zwlr_layer_surface_v1", "configure", 1).c_str(),
                buffer_size(trace).c_str(), img.width, img.height, seen.grey_share * 100, seen.misplaced);
    return sharp;
}

std::string no_error(Process& p) {
    const Trace trace(p.stderr_text());
    return p.running() && trace.count_events("wl_display", "error") == 0 ? std::string() : p.describe();
}

}  // namespace

// At start-up on a scaled output, then while the scale changes: to a
// fractional one where the compositor offers fractional scales, else to 1.
TEST(ScaleOnSway, DrawsTheOutputsPixelsAndFollowsTheScale) {
    E2E_REQUIRE_SWAY();
    HARNESS_REQUIRE_TOOLS("wayland-info");
    Sway sway(1, "output HEADLESS-1 mode 600x480 scale 2\n");
    const bool fractional = sway.offered("wp_fractional_scale_manager_v1") && sway.offered("wp_viewporter");
    TempFile checker(kChecker, "checker.frag");
    auto p = start({"HEADLESS-1", checker.str()}, sway.env(), true);
    EXPECT_TRUE(shows_checker(sway, "HEADLESS-1", *p, "2")) << p->describe();

    const double next = fractional ? 1.5 : 1.0;
    sway.set_scale("HEADLESS-1", next);
    EXPECT_TRUE(shows_checker(sway, "HEADLESS-1", *p, fractional ? "1.5" : "1")) << p->describe();
    EXPECT_EQ(no_error(*p), "");
    const Trace trace(p->stderr_text());
    EXPECT_EQ(trace.count_requests("wp_fractional_scale_manager_v1", "get_fractional_scale"), fractional ? 1u : 0u);
}

// Scales given by compositors that are not sway: labwc's from wlr-randr,
// KWin's from its command line and configuration. KWin 6 takes no
// screenshots here; the buffer's size is checked against the output's mode.
TEST(ScaleOnLabwc, DrawsTheOutputsPixels) {
    HARNESS_SKIP_UNLESS_PACKAGED("labwc");
    E2E_REQUIRE("labwc", "grim", "wlr-randr");
    Labwc labwc(1);
    labwc.set_mode("HEADLESS-1", 600, 480);
    labwc.set_scale("HEADLESS-1", 1.5);
    TempFile checker(kChecker, "checker.frag");
    auto p = start({"HEADLESS-1", checker.str()}, labwc.env(), true);
    EXPECT_TRUE(shows_checker(labwc, "HEADLESS-1", *p, "1.5", 30s)) << p->describe();
    EXPECT_EQ(no_error(*p), "");
}

TEST(ScaleOnKwin, DrawsTheOutputsPixels) {
    HARNESS_SKIP_UNLESS_PACKAGED("kwin-wayland");
    E2E_REQUIRE("kwin_wayland", "dbus-daemon");
    Kwin kwin(1, 640, 480, 1.5);
    TempFile checker(kChecker, "checker.frag");
    auto p = start({"Virtual-0", checker.str()}, kwin.env(), true);
    if (kwin.screenshots_available()) {
        EXPECT_TRUE(shows_checker(kwin, "Virtual-0", *p, "1.5", 30s)) << p->describe();
    }
    // Ten frames, the last buffer as large as the output's mode, and the
    // surface smaller: the output is scaled.
    LiveTrace live(*p);
    EXPECT_TRUE(live.wait([](const Trace& t) { return t.count_requests("wl_surface", "attach") >= 10; }))
        << p->describe();
    const Trace& trace = live.read();
    const std::string configure = last_size(trace, false, "zwlr_layer_surface_v1", "configure", 1);
    const std::string mode = last_size(trace, false, "wl_output", "mode", 1);
    std::printf("scale 1.5: configure %s, buffer %s, mode %s\n", configure.c_str(), buffer_size(trace).c_str(),
                mode.c_str());
    EXPECT_EQ(buffer_size(trace), mode);
    EXPECT_NE(configure, mode) << "KWin did not scale its output";
    EXPECT_EQ(no_error(*p), "");
}
