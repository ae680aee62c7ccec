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

// The interfaces and versions bound on one registry, sorted.
std::string binds_on(const std::string& trace, const std::string& registry) {
    std::vector<std::string> binds;
    for (const auto& line : lines_matching(trace, std::regex(registry + R"(\.bind\()"))) {
        binds.push_back(capture(line, R"(bind\(\d+, ("\w+", \d+))"));
    }
    std::sort(binds.begin(), binds.end());
    std::string joined;
    for (const auto& b : binds) {
        joined += b + "; ";
    }
    return joined;
}

// The wl_shm formats of every buffer the client made, one per line.
std::string buffer_formats(const std::vector<Message>& trace) {
    std::string formats;
    for (const auto& m : trace) {
        if (m.request && m.name == "create_buffer" && m.object.rfind("wl_shm_pool@", 0) == 0) {
            formats += m.args.substr(m.args.rfind(", ") + 2) + "\n";
        }
    }
    return formats;
}

// The program's own registry: EGL makes registries of its own later.
std::string program_registry(const std::string& trace) {
    return capture(trace, R"(-> wl_display@1\.get_registry\(new id (wl_registry@\d+)\))");
}

}  // namespace

TEST(StartupOnSway, BindsChoosesOutputsByNameAndDrawsTheShader) {
    E2E_REQUIRE_SWAY();
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
        ASSERT_TRUE(p->wait_for_stderr(
            [](const std::string& t) { return count_matches(t, R"(wl_output@\d+\.done\(\))") >= 2; }, 10s))
            << p->describe();
        // Nothing to draw: the loop sleeps in poll until an event comes.
        std::this_thread::sleep_for(300ms);
        const long before = voluntary_switches(p->pid());
        std::this_thread::sleep_for(1s);
        const long after = voluntary_switches(p->pid());
        EXPECT_GE(before, 0);
        EXPECT_LT(after - before, 5) << "wake-ups in 1 s without a chosen output";
        EXPECT_TRUE(p->running()) << p->describe();
        const std::string trace = p->stderr_text();
        EXPECT_EQ(count_matches(trace, "create_surface|get_layer_surface"), 0u) << trace;
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

        const std::string text = p->stderr_text();
        EXPECT_EQ(binds_on(text, program_registry(text)),
                  R"("wl_compositor", 1; "wl_output", 4; "wl_output", 4; "zwlr_layer_shell_v1", 1; )");
        const auto surfaces = layer_surfaces(text);
        ASSERT_EQ(surfaces.size(), 2u) << text;
        const auto trace = parse_trace(text);
        // XRGB8888 (wl_shm format 1), which sway composites on pixman's fast
        // path; a 10-bit or alpha format would be the wrong config.
        const std::string formats = buffer_formats(trace);
        EXPECT_TRUE(std::regex_match(formats, std::regex("(1\n)+"))) << "formats:\n" << formats;
        for (const auto& ls : surfaces) {
            EXPECT_EQ(ls.layer, "3");
            EXPECT_EQ(ls.name_space, "lumivane");
            EXPECT_TRUE(std::regex_match(story(trace, ls), std::regex(kLiveStory))) << story(trace, ls);
            EXPECT_EQ(stale_acks(trace, ls), "");
        }
        EXPECT_NE(surfaces[0].output, surfaces[1].output);
        // The input region stays empty: nothing is ever added to it.
        EXPECT_EQ(count_matches(text, R"(wl_region@\d+\.add\()"), 0u);
        EXPECT_EQ(count_matches(text, R"(wl_region@\d+\.destroy\(\))"), 2u);
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

        const std::string text = p->stderr_text();
        const auto surfaces = layer_surfaces(text);
        ASSERT_EQ(surfaces.size(), 1u) << text;
        EXPECT_EQ(surfaces[0].output, output_object(text, "HEADLESS-2"));
        EXPECT_EQ(surfaces[0].layer, "0");
        EXPECT_TRUE(p->running()) << p->describe();
    }
}

// Weston offers its outputs at version 3 only and has no layer shell; the
// shader is built before the globals are looked at, so it also serves to see
// how shader files are refused.
TEST(StartupOnWeston, EndsWithTheStageThatFailed) {
    E2E_REQUIRE("weston");
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
        {"a // comment without a final newline", body + "// the end", "comment.frag", no_compile},
        {"the same comment with its newline", body + "// the end\n", "comment-nl.frag", no_layer_shell},
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

        const auto lines = lines_of(p->stderr_text());
        ASSERT_GE(lines.size(), 3u) << p->describe();
        EXPECT_EQ(lines[0], "Running lumivane with output = '*' shader = '" + path + "' fps = inf layer = 0");
        EXPECT_TRUE(lines[1].rfind("GL version: ", 0) == 0 && lines[1].size() > 12) << lines[1];
        const std::string rest = p->stderr_text().substr(lines[0].size() + lines[1].size() + 2);
        if (c.ending == no_compile) {
            // The compiler's own log follows, whatever its wording.
            EXPECT_EQ(rest.rfind(no_compile, 0), 0u) << rest;
            EXPECT_GT(rest.size(), no_compile.size() + 1) << "no log";
            EXPECT_EQ(rest.back(), '\n');
            EXPECT_EQ(count_matches(rest, "Compositor does not offer"), 0u);
        } else {
            char expected[4096];
            std::snprintf(expected, sizeof expected, c.ending.c_str(), path.c_str());
            EXPECT_EQ(rest, expected);
        }
    }

    SCOPED_TRACE("traced");
    write_file(dir / "good.frag", body);
    auto p = start({"*", (dir / "good.frag").string()}, weston.env(), true);
    ASSERT_TRUE(p->wait_exit(20s).has_value()) << p->describe();
    const std::string text = p->stderr_text();
    const std::string registry = program_registry(text);
    EXPECT_EQ(count_matches(text, registry + R"(\.global\(\d+, "wl_output", 3\))"), 1u) << text;
    EXPECT_EQ(binds_on(text, registry), R"("wl_compositor", 1; )");
    EXPECT_EQ(count_matches(text, R"(bind\(\d+, "wl_output")"), 0u);
    EXPECT_EQ(text.substr(text.size() - no_layer_shell.size()), no_layer_shell);
}
