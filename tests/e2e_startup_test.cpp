// Start-up against real compositors: what the program binds and asks for,
// which outputs it chooses, the first frames it shows, and how it ends on a
// compositor without a layer shell or with a shader file it cannot use.

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "e2e_support.hpp"

using namespace e2e;

namespace {

// Exact 8-bit values, so that the read-back can be compared exactly.
const char kSolid[] = "void mainImage(out vec4 fragColor, in vec2 fragCoord) {\n"
                      "    fragColor = vec4(51.0, 153.0, 204.0, 255.0) / 255.0;\n"
                      "}\n";
const Rgb kSolidRgb{51, 153, 204};
// The same colour with alpha 0, which an opaque buffer never shows through.
const char kSolidNoAlpha[] = "void mainImage(out vec4 fragColor, in vec2 fragCoord) {\n"
                             "    fragColor = vec4(51.0, 153.0, 204.0, 0.0) / 255.0;\n"
                             "}\n";

const char kGradient[] = "void mainImage(out vec4 fragColor, in vec2 fragCoord) {\n"
                         "    fragColor = vec4(fragCoord / iResolution.xy, 0.0, 1.0);\n"
                         "}\n";

// Pixels of the gradient, which the GL rounds from the centre of each
// pixel; image rows run from the top, GL rows from the bottom.
std::string gradient_mismatch(const Image& img) {
    const int w = img.width, h = img.height;
    for (int y : {0, h / 3, h / 2, h - 1}) {
        for (int x : {0, w / 4, w / 2, w - 1}) {
            const Rgb got = img.pixel(x, y);
            const double r = (x + 0.5) / w * 255, g = (h - y - 0.5) / h * 255;
            if (std::abs(got.r - r) > 1.5 || std::abs(got.g - g) > 1.5 || got.b != 0) {
                std::ostringstream os;
                os << "pixel (" << x << ", " << y << ") of " << w << "x" << h << " is " << got << ", expected about ("
                   << r << ", " << g << ", 0)";
                return os.str();
            }
        }
    }
    return {};
}

// What the program bound, sorted: it binds in the order in which the
// compositor announces its globals, which is the compositor's to choose.
std::vector<std::string> sorted_binds(const Trace& trace) {
    std::vector<std::string> binds = trace.program_binds();
    std::sort(binds.begin(), binds.end());
    return binds;
}

}  // namespace

TEST(StartupOnSway, BindsChoosesOutputsByNameAndDrawsTheShader) {
    E2E_REQUIRE("sway", "swaymsg", "grim", "wayland-info");
    Sway sway(2, "output HEADLESS-1 mode 320x240\noutput HEADLESS-2 mode 400x300\n");
    TempFile solid(kSolid, "solid.frag");
    TempFile gradient(kGradient, "gradient.frag");
    TempFile no_alpha(kSolidNoAlpha, "no-alpha.frag");
    const Rgb clear = sway.grab("HEADLESS-1").pixel(0, 0);
    ASSERT_NE(clear, kSolidRgb);
    auto empty = [&](const Image& img) { return img.all_near(clear); };

    {
        SCOPED_TRACE("a name that differs only in case chooses nothing");
        auto p = start({"headless-1", solid.str()}, sway.env(), true);
        LiveTrace live(*p);
        ASSERT_TRUE(live.wait([](const Trace& t) { return t.count_events("wl_output", "done") >= 2; }, 10s))
            << p->describe();
        // Nothing to draw: the loop sleeps in poll until an event comes.
        std::this_thread::sleep_for(300ms);
        const long before = voluntary_switches(p->pid());
        std::this_thread::sleep_for(1s);
        const long after = voluntary_switches(p->pid());
        EXPECT_GE(before, 0);
        EXPECT_LT(after - before, 5) << "wake-ups in 1 s without a chosen output";
        EXPECT_TRUE(p->running()) << p->describe();
        const Trace& trace = live.read();
        EXPECT_EQ(trace.count_requests("wl_compositor", "create_surface"), 0u) << p->describe();
        EXPECT_EQ(trace.count_requests("zwlr_layer_shell_v1", "get_layer_surface"), 0u) << p->describe();
        EXPECT_TRUE(empty(sway.grab("HEADLESS-1")));
        EXPECT_TRUE(empty(sway.grab("HEADLESS-2")));
    }

    {
        SCOPED_TRACE("\"*\" on the overlay layer, with a shader that writes alpha 0");
        auto p = start({"--layer", "overlay", "*", no_alpha.str()}, sway.env(), true);
        Image last;
        for (const char* output : {"HEADLESS-1", "HEADLESS-2"}) {
            EXPECT_TRUE(sway.wait_for_image(output, [](const Image& i) { return i.all_near(kSolidRgb); }, 10s, &last))
                << output << " average " << last.average() << "\n" << p->describe();
        }
        EXPECT_EQ(last.width, 400);
        EXPECT_EQ(last.height, 300);

        const Trace trace(p->stderr_text());
        EXPECT_EQ(sorted_binds(trace), (std::vector<std::string>{compositor_bind(sway), "wl_output 4", "wl_output 4",
                                                                 "zwlr_layer_shell_v1 1"}));
        const auto surfaces = layer_surfaces(trace);
        ASSERT_EQ(surfaces.size(), 2u) << p->describe();
        // XRGB8888 (wl_shm format 1), which sway composites on pixman's fast
        // path; a 10-bit or alpha format would be the wrong config.
        const auto buffers = trace.requests("wl_shm_pool", "create_buffer");
        EXPECT_FALSE(buffers.empty());
        for (const auto& b : buffers) {
            EXPECT_EQ(b.args.back(), "1") << b.arg_list();
        }
        for (const auto& ls : surfaces) {
            EXPECT_EQ(ls.layer, 3u);
            EXPECT_EQ(ls.name_space, "lumivane");
            EXPECT_TRUE(std::regex_match(story(trace, ls), std::regex(kLiveStory))) << story(trace, ls);
            EXPECT_EQ(stale_acks(trace, ls), "");
        }
        EXPECT_NE(surfaces[0].output, surfaces[1].output);
        // The input region stays empty: nothing is ever added to it.
        EXPECT_EQ(trace.count_requests("wl_region", "add"), 0u);
        EXPECT_EQ(trace.count_requests("wl_region", "destroy"), 2u);
    }
    EXPECT_TRUE(sway.wait_for_image("HEADLESS-1", empty, 10s)) << "the overlay outlived its client";

    {
        SCOPED_TRACE("an exact name, on the background layer");
        auto p = start({"HEADLESS-2", gradient.str()}, sway.env(), true);
        Image img;
        EXPECT_TRUE(sway.wait_for_image("HEADLESS-2", [](const Image& i) { return gradient_mismatch(i).empty(); },
                                        10s, &img))
            << gradient_mismatch(img) << "\n" << p->describe();
        EXPECT_EQ(img.width, 400);
        EXPECT_EQ(img.height, 300);
        // Dark at the bottom-left, bright at the top-right.
        EXPECT_EQ(img.pixel(0, img.height - 1), (Rgb{0, 0, 0}));
        EXPECT_EQ(img.pixel(img.width - 1, 0), (Rgb{255, 255, 0}));
        EXPECT_TRUE(empty(sway.grab("HEADLESS-1")));

        const Trace trace(p->stderr_text());
        const auto surfaces = layer_surfaces(trace);
        ASSERT_EQ(surfaces.size(), 1u) << p->describe();
        EXPECT_EQ(surfaces[0].output, trace.output_named("HEADLESS-2"));
        EXPECT_NE(surfaces[0].output, 0u);
        EXPECT_EQ(surfaces[0].layer, 0u);
        EXPECT_TRUE(p->running()) << p->describe();
    }
}

// Weston has no layer shell; the shader is built before the globals are
// looked at, so it also serves to see how shader files are refused.
TEST(StartupOnWeston, EndsWithTheStageThatFailed) {
    E2E_REQUIRE("weston", "wayland-info");
    Weston weston(320, 240);
    TempDir dir;
    const std::string body = kSolid;
    struct Case {
        const char* what;
        std::optional<std::string> content;  // none: the path names no file
        std::string file;  // in the test's directory; none: the directory itself
        std::string ending;  // the last line; a compile log when it ends in ": "
    };
    const std::string no_layer_shell = "Compositor does not offer zwlr_layer_shell_v1\n";
    const std::string no_compile = "Failed to compile fragment shader: ";
    std::vector<Case> cases = {
        {"a good shader", body, "good.frag", no_layer_shell},
        {"a missing file", std::nullopt, "missing.frag", "Failed to read shader file at '%s'\n"},
        {"a directory", std::nullopt, "", "Failed to read shader file at '%s'\n"},
        {"an empty file", "", "empty.frag", no_compile},
        {"a #version line first", "#version 330\n" + body, "version.frag", no_compile},
        // GLSL 1.10's wrapping takes the comment on into its main(), the
        // GLSL ES 3.00 one does not.
        {"a // comment without a final newline", body + "// the end", "comment.frag", no_layer_shell},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = c.file.empty() ? dir.path().string() : (dir / c.file).string();
        if (c.content) {
            write_file(path, *c.content);
        }
        auto p = start({"*", path}, weston.env());
        auto status = p->wait_exit(20s);
        ASSERT_TRUE(status.has_value()) << p->describe();
        EXPECT_TRUE(!status->signaled && status->code == 1) << p->describe();

        const auto lines = Trace(p->stderr_text()).program_lines();
        ASSERT_GE(lines.size(), 3u) << p->describe();
        EXPECT_EQ(lines[0], "Running lumivane with output = '*' shader = '" + path + "' fps = inf layer = 0");
        EXPECT_TRUE(lines[1].rfind("GL version: ", 0) == 0 && lines[1].size() > 12) << lines[1];
        const std::string rest = own_text(p->stderr_text()).substr(lines[0].size() + lines[1].size() + 2);
        if (c.ending == no_compile) {
            // The compiler's own log follows, whatever its wording.
            EXPECT_EQ(rest.rfind(no_compile, 0), 0u) << rest;
            EXPECT_GT(rest.size(), no_compile.size() + 1) << "no log";
            EXPECT_EQ(rest.back(), '\n');
            EXPECT_EQ(rest.find("Compositor does not offer"), std::string::npos);
        } else {
            char expected[4096];
            std::snprintf(expected, sizeof expected, c.ending.c_str(), path.c_str());
            EXPECT_EQ(rest, expected);
        }
    }

    SCOPED_TRACE("traced");
    // Weston 10 offers its output at version 3, weston 14 at 4; the program
    // binds outputs from version 4 on, where they say their names, and asks
    // for no surface before it knows there is a layer shell.
    std::vector<std::uint32_t> versions;
    for (const Global& g : weston.globals()) {
        if (g.interface == "wl_output") versions.push_back(g.version);
    }
    ASSERT_EQ(versions.size(), 1u);
    write_file(dir / "good.frag", body);
    auto p = start({"*", (dir / "good.frag").string()}, weston.env(), true);
    const auto status = p->wait_exit(20s);
    ASSERT_TRUE(status.has_value()) << p->describe();
    EXPECT_EQ(status->describe(), "exit 1");
    const Trace trace(p->stderr_text());
    std::vector<std::string> binds = {compositor_bind(weston)};
    if (versions[0] >= 4) {
        binds.push_back("wl_output 4");
    }
    EXPECT_EQ(sorted_binds(trace), binds) << "weston offers wl_output " << versions[0];
    EXPECT_EQ(trace.count_requests("wl_compositor", "create_surface"), 0u);
    EXPECT_EQ(last_own_line(p->stderr_text()) + "\n", no_layer_shell) << p->describe();
}
