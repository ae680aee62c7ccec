// The running program against real compositors: frames paced by the
// compositor and by --fps, the shader's clock, outputs that change size,
// come and go while it runs, and the end that comes with the compositor's.

#include <algorithm>
#include <fstream>

#include "e2e_support.hpp"

using namespace e2e;

namespace {

using Clock = std::chrono::steady_clock;

// Reads the shader's clock back from the screen. Left half: iTime in
// sixteenths of a second, high byte in red, low byte in green. Right half:
// iFrame, low byte in red and high byte in green, and iTimeDelta in blue,
// in steps of 2 ms up to 510 ms.
const char kProbe[] =
    "float byte_of(float v, float unit) { return mod(floor(v / unit), 256.0) / 255.0; }\n"
    "void mainImage(out vec4 fragColor, in vec2 fragCoord) {\n"
    "    if (fragCoord.x < iResolution.x * 0.5) {\n"
    "        float t = floor(iTime * 16.0);\n"
    "        fragColor = vec4(byte_of(t, 256.0), byte_of(t, 1.0), 0.0, 1.0);\n"
    "    } else {\n"
    "        float delta = min(floor(iTimeDelta * 500.0), 255.0);\n"
    "        fragColor = vec4(byte_of(iFrame, 1.0), byte_of(iFrame, 256.0), delta / 255.0, 1.0);\n"
    "    }\n"
    "}\n";

struct Probe {
    double time = 0;
    int frame = 0;
    int delta_ms = 0;
};

Probe read_probe(const Image& img) {
    const Rgb left = img.pixel(img.width / 4, img.height / 2);
    const Rgb right = img.pixel(img.width * 3 / 4, img.height / 2);
    return {(left.r * 256 + left.g) / 16.0, right.r + right.g * 256, right.b * 2};
}

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string process_state(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(") ");
    return close == std::string::npos ? std::string() : line.substr(close + 2, 1);
}

}  // namespace

TEST(LoopOnSway, PacesFramesAndRunsTheShaderClock) {
    E2E_REQUIRE_SWAY();
    Sway sway(2, "output * mode 320x240\n");
    TempFile probe(kProbe, "probe.frag");
    const Rgb clear = sway.grab("HEADLESS-1").pixel(0, 0);
    auto drawn = [&](const Image& img) { return img.pixel(0, 0) != clear; };

    // Capped at 10 frames a second with time running 4 times as fast, on one
    // output, the other one unchosen.
    auto capped = start({"--fps", "10", "--speed", "4", "HEADLESS-1", probe.str()}, sway.env(), true);
    // As fast as the compositor asks for frames.
    auto fast = start({"HEADLESS-2", probe.str()}, sway.env(), true);
    ASSERT_TRUE(sway.wait_for_image("HEADLESS-1", drawn, 10s)) << capped->describe();
    ASSERT_TRUE(sway.wait_for_image("HEADLESS-2", drawn, 10s)) << fast->describe();
    const std::uint32_t capped_surface = layer_surfaces(Trace(capped->stderr_text())).at(0).surface;
    const std::uint32_t fast_surface = layer_surfaces(Trace(fast->stderr_text())).at(0).surface;
    // Frames presented: each one attaches a buffer.
    auto frames_of = [](Process& p, std::uint32_t surface) {
        return requests_on(Trace(p.stderr_text()), "wl_surface", surface, "attach").size();
    };

    const auto t0 = Clock::now();
    const long switches0 = voluntary_switches(capped->pid());
    const long fast_switches0 = voluntary_switches(fast->pid());
    const std::size_t commits0 = frames_of(*capped, capped_surface);
    const Probe capped0 = read_probe(sway.grab("HEADLESS-1"));
    const Probe fast0 = read_probe(sway.grab("HEADLESS-2"));
    std::this_thread::sleep_for(2s);
    const double window = seconds_since(t0);
    const long switches1 = voluntary_switches(capped->pid());
    const long fast_switches1 = voluntary_switches(fast->pid());
    const std::size_t commits1 = frames_of(*capped, capped_surface);
    const Probe capped1 = read_probe(sway.grab("HEADLESS-1"));
    const Probe fast1 = read_probe(sway.grab("HEADLESS-2"));

    const double rate = (commits1 - commits0) / window;
    EXPECT_TRUE(rate >= 5 && rate <= 15) << rate << " frames a second at --fps 10";
    const double capped_clock = (capped1.time - capped0.time) / window;
    const double fast_clock = (fast1.time - fast0.time) / window;
    EXPECT_TRUE(capped_clock >= 2.5 && capped_clock <= 5.5) << capped_clock << " shader seconds a second at --speed 4";
    EXPECT_TRUE(fast_clock >= 0.5 && fast_clock <= 1.5) << fast_clock << " shader seconds a second";
    // Between frames the program sleeps: the unchosen output wakes nothing.
    const double wakeups = (switches1 - switches0) / window;
    const double fast_wakeups = (fast_switches1 - fast_switches0) / window;
    EXPECT_LT(wakeups, 200) << "wake-ups a second at 10 frames a second";
    EXPECT_LT(fast_wakeups, 600) << "wake-ups a second at the compositor's pace";
    std::printf("window %.2f s: %.1f commits/s at --fps 10; wake-ups/s %.1f and %.1f; clocks %.2f and %.2f s/s\n",
                window, rate, wakeups, fast_wakeups, capped_clock, fast_clock);

    {
        SCOPED_TRACE("iFrame and iTimeDelta at the compositor's pace");
        // Frozen, the program leaves its last frame on the screen, which must
        // count the frames presented before it: the first one shows 0.
        fast->kill(SIGSTOP);
        for (int i = 0; i < 100 && process_state(fast->pid()) != "T"; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_EQ(process_state(fast->pid()), "T");
        const std::size_t frames = frames_of(*fast, fast_surface);
        // The compositor shows the last buffer at its next frame; wait until
        // the screen holds still.
        Image last_image = sway.grab("HEADLESS-2"), again;
        for (int i = 0; i < 20 && (again = sway.grab("HEADLESS-2")).rgb != last_image.rgb; ++i) {
            last_image = std::move(again);
            std::this_thread::sleep_for(200ms);
        }
        const Probe last = read_probe(again);
        fast->kill(SIGCONT);
        EXPECT_GE(frames, 20u);
        // The last swap may have been traced but not yet sent when it stopped.
        EXPECT_TRUE(last.frame + 1 == int(frames) || last.frame + 2 == int(frames))
            << "iFrame " << last.frame << " on the last of " << frames << " frames";
        // About a frame period of the compositor, not the 1 ms of a tick
        // that drew nothing, nor the time since the start.
        EXPECT_TRUE(last.delta_ms >= 4 && last.delta_ms < 510) << "iTimeDelta " << last.delta_ms << " ms";
        std::printf("%zu frames, last shows iFrame %d, iTimeDelta %d ms\n", frames, last.frame, last.delta_ms);
    }

    {
        SCOPED_TRACE("the compositor goes away");
        sway.kill();
        for (auto* p : {capped.get(), fast.get()}) {
            auto status = p->wait_exit(10s);
            ASSERT_TRUE(status.has_value()) << p->describe();
            EXPECT_TRUE(status->success()) << p->describe();
            EXPECT_TRUE(is_loop_line(last_own_line(p->stderr_text()))) << p->describe();
        }
    }
}

TEST(LoopOnSway, FollowsOutputsThatChangeComeAndGo) {
    E2E_REQUIRE_SWAY();
    HARNESS_SKIP_UNLESS(!wlproxy_path().empty(), "WLPROXY does not name the wlproxy executable");
    Sway sway(2, "output * mode 320x240\n");
    const Rgb clear = sway.grab("HEADLESS-1").pixel(0, 0);
    auto empty = [&](const Image& img) { return img.all_near(clear); };
    Proxy proxy(sway);
    TempFile pulse(kPulse, "pulse.frag");
    auto p = start({"*", pulse.str()}, proxy.env(), true);
    Image last;
    for (const char* output : {"HEADLESS-1", "HEADLESS-2"}) {
        ASSERT_TRUE(sway.wait_for_image(output, pulse_drawn, 10s, &last))
            << output << " average " << last.average() << "\n" << p->describe();
    }

    {
        SCOPED_TRACE("a new mode");
        sway.set_mode("HEADLESS-1", 640, 480);
        EXPECT_TRUE(sway.wait_for_image(
            "HEADLESS-1", [](const Image& i) { return i.width == 640 && i.height == 480 && pulse_drawn(i); }, 10s,
            &last))
            << last.width << "x" << last.height << " average " << last.average();
        const Trace trace(p->stderr_text());
        const auto surface = layer_surfaces(trace, trace.output_named("HEADLESS-1")).at(0);
        const auto configures = trace.events("zwlr_layer_surface_v1", "configure");
        EXPECT_TRUE(std::any_of(configures.begin(), configures.end(), [&](const WireMessage& m) {
            return m.id == surface.layer_surface && m.number_arg(1) == 640 && m.number_arg(2) == 480;
        }));
        EXPECT_EQ(stale_acks(trace, surface), "");
    }

    {
        SCOPED_TRACE("a new output");
        EXPECT_EQ(sway.create_output(), "HEADLESS-3");
        EXPECT_TRUE(sway.wait_for_image("HEADLESS-3", pulse_drawn, 10s, &last)) << "average " << last.average();
        ASSERT_TRUE(LiveTrace(*p).wait([](const Trace& t) { return t.output_named("HEADLESS-3") != 0; }, 5s));
    }

    {
        SCOPED_TRACE("an output removed, a surface closed");
        ASSERT_TRUE(proxy.remove("HEADLESS-2")) << proxy.process().describe();
        ASSERT_TRUE(proxy.close("HEADLESS-3")) << proxy.process().describe();
        EXPECT_TRUE(sway.wait_for_image("HEADLESS-2", empty, 10s)) << "HEADLESS-2 still shows a surface";
        EXPECT_TRUE(sway.wait_for_image("HEADLESS-3", empty, 10s)) << "HEADLESS-3 still shows a surface";
        const Image before = sway.grab("HEADLESS-1");
        std::this_thread::sleep_for(500ms);
        const Image after = sway.grab("HEADLESS-1");
        EXPECT_TRUE(pulse_drawn(after));
        EXPECT_NE(before.pixel(0, 0), after.pixel(0, 0)) << "HEADLESS-1 stopped animating";
        EXPECT_TRUE(p->running()) << p->describe();

        const Trace trace(p->stderr_text());
        EXPECT_EQ(trace.count_events("wl_display", "error"), 0u);
        // The removed and the closed output's surfaces end, in that order,
        // with nothing committed after; the remaining one goes on.
        std::size_t ended = 0;
        for (const char* output : {"HEADLESS-2", "HEADLESS-3"}) {
            const auto gone = layer_surfaces(trace, trace.output_named(output));
            ASSERT_EQ(gone.size(), 1u) << output;
            EXPECT_TRUE(std::regex_match(story(trace, gone[0]), std::regex(kEndedStory)))
                << output << ": " << story(trace, gone[0]);
            const auto destroyed = requests_on(trace, "wl_surface", gone[0].surface, "destroy");
            ASSERT_FALSE(destroyed.empty()) << output;
            ended = std::max(ended, destroyed.front());
        }
        const auto live = layer_surfaces(trace, trace.output_named("HEADLESS-1"));
        ASSERT_EQ(live.size(), 1u);
        EXPECT_TRUE(std::regex_match(story(trace, live[0]), std::regex(kLiveStory))) << story(trace, live[0]);
        const auto frames = requests_on(trace, "wl_surface", live[0].surface, "attach");
        EXPECT_GE(std::count_if(frames.begin(), frames.end(), [&](std::size_t i) { return i > ended; }), 5)
            << "frames on HEADLESS-1 after the others went";
    }
}
