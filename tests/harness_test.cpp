// Checks the end-to-end harness itself against the real tools (sway, grim,
// swaybg, weston, wlproxy), so a failing program test can be trusted to be
// about the program and not about the harness.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "e2e_support.hpp"
#include "harness.hpp"

using namespace harness;

namespace {

const Rgb kRed{255, 0, 0};

// Process states from /proc: "" when the PID is gone.
std::string proc_state(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return {};
    }
    auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() ? std::string() : line.substr(close + 2, 1);
}

bool gone_or_zombie(pid_t pid) {
    const std::string s = proc_state(pid);
    return s.empty() || s == "Z" || s == "X";
}

}  // namespace

// ---------------------------------------------------------------------------

TEST(HarnessProcess, CapturesOutputEnvironmentAndExitStatus) {
    ::setenv("HARNESS_TEST_INHERITED", "kept", 1);
    ::setenv("HARNESS_TEST_DROPPED", "present", 1);
    Process p({"sh", "-c",
               "echo \"out:$HARNESS_TEST_INHERITED:$HARNESS_TEST_SET:${HARNESS_TEST_DROPPED-unset}\"; "
               "echo err-line >&2; exit 3"},
              Env{{"HARNESS_TEST_SET", "given"}, {"HARNESS_TEST_DROPPED", std::nullopt}});
    EXPECT_TRUE(p.wait_for_stderr("err-line", 5s)) << p.describe();
    auto st = p.wait_exit(5s);
    ASSERT_TRUE(st.has_value()) << p.describe();
    EXPECT_FALSE(st->signaled);
    EXPECT_EQ(st->code, 3);
    EXPECT_EQ(p.stdout_text(), "out:kept:given:unset\n");
    // A process that exited can never satisfy a later wait.
    EXPECT_FALSE(p.wait_for_stderr("never printed", 5s));
}

TEST(HarnessProcess, WaitsTimeOutAndSignalsAreReported) {
    Process p({"sleep", "30"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(p.wait_exit(200ms).has_value());
    EXPECT_FALSE(p.wait_for_stdout(std::regex("x"), 200ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
    EXPECT_TRUE(p.running());
    p.kill(SIGKILL);
    auto st = p.wait_exit(5s);
    ASSERT_TRUE(st.has_value());
    EXPECT_TRUE(st->signaled);
    EXPECT_EQ(st->signal, SIGKILL);
}

TEST(HarnessProcess, TeardownTakesTheWholeProcessGroup) {
    pid_t grandchild = 0;
    {
        // The shell ignores SIGTERM so teardown has to escalate to SIGKILL.
        Process p({"sh", "-c", "trap '' TERM; sleep 60 & echo $!; wait"});
        ASSERT_TRUE(p.wait_for_stdout("\n", 5s)) << p.describe();
        grandchild = std::stoi(p.stdout_text());
        ASSERT_GT(grandchild, 0);
        ASSERT_FALSE(gone_or_zombie(grandchild));
        const auto start = std::chrono::steady_clock::now();
        auto st = p.stop(300ms);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_TRUE(st.signaled) << st;
    }
    // Reaping the orphan is up to init; dead is enough.
    for (int i = 0; i < 100 && !gone_or_zombie(grandchild); ++i) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(gone_or_zombie(grandchild)) << "state " << proc_state(grandchild);
}

TEST(HarnessProcess, MissingExecutableThrows) {
    EXPECT_THROW(Process({"lumivane-no-such-tool-anywhere"}), std::runtime_error);
    EXPECT_NE(missing_tools({"sh", "lumivane-no-such-tool-anywhere"}).find("lumivane-no-such-tool-anywhere"),
              std::string::npos);
    EXPECT_EQ(missing_tools({"sh"}), "");
}

namespace {

std::vector<unsigned> versions_of(const std::vector<Global>& globals, const std::string& interface) {
    std::vector<unsigned> versions;
    for (const Global& g : globals) {
        if (g.interface == interface) versions.push_back(g.version);
    }
    return versions;
}

}  // namespace

// As Debian 12's wayland-info lays its list out, and as Debian 13's does.
TEST(HarnessText, ReadsOfferedVersionsFromWaylandInfo) {
    const std::string info =
        "interface: 'wl_output', version: 3, name: 14\n"
        "\tname: wl_output\n"
        "interface: 'wl_output',                                  version:  4, name: 15\n"
        "interface: 'zwp_wl_output_manager_v1',                   version:  2, name: 16\n";
    EXPECT_EQ(versions_of(parse_globals(info), "wl_output"), (std::vector<unsigned>{3, 4}));
    EXPECT_EQ(versions_of(parse_globals(info), "zwlr_layer_shell_v1"), std::vector<unsigned>{});
}

TEST(HarnessImage, ParsesPpmAndRejectsBadInput) {
    std::string ppm = "P6\n# made by hand\n2 2\n255\n";
    const unsigned char px[] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30};
    ppm.append(reinterpret_cast<const char*>(px), sizeof px);
    Image img = Image::parse_ppm(ppm);
    ASSERT_EQ(img.width, 2);
    ASSERT_EQ(img.height, 2);
    EXPECT_EQ(img.pixel(0, 0), (Rgb{255, 0, 0}));
    EXPECT_EQ(img.pixel(1, 0), (Rgb{0, 255, 0}));
    EXPECT_EQ(img.pixel(0, 1), (Rgb{0, 0, 255}));
    EXPECT_EQ(img.pixel(1, 1), (Rgb{10, 20, 30}));
    EXPECT_EQ(img.count_near(Rgb{250, 5, 5}, 5), 1u);
    EXPECT_FALSE(img.all_near(kRed, 0));
    EXPECT_THROW(img.pixel(2, 0), std::out_of_range);

    EXPECT_THROW(Image::parse_ppm(ppm.substr(0, ppm.size() - 1)), std::runtime_error);
    EXPECT_THROW(Image::parse_ppm("P3\n1 1\n255\n0 0 0\n"), std::runtime_error);
    EXPECT_THROW(Image::parse_ppm("P6\n1 1\n65535\n" + std::string(6, '\0')), std::runtime_error);

    TempDir dir;
    img.save_ppm(dir / "round.ppm");
    Image again = Image::load_ppm(dir / "round.ppm");
    EXPECT_EQ(again.rgb, img.rgb);
}

// ---------------------------------------------------------------------------

class SwayHarness : public ::testing::Test {
protected:
    void SetUp() override { HARNESS_REQUIRE_TOOLS("sway", "swaymsg", "grim"); }
};

TEST_F(SwayHarness, StartsWithNamedOutputsAndCleansUp) {
    std::string runtime;
    pid_t pid = 0;
    {
        Sway sway(2);
        runtime = sway.runtime_dir();
        pid = sway.pid();
        auto outputs = sway.outputs();
        // In an order of sway's: 1.10 lists HEADLESS-2 first.
        std::vector<std::string> names;
        for (const auto& o : outputs) {
            names.push_back(o.name);
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"HEADLESS-1", "HEADLESS-2"}));
        for (const auto& o : outputs) {
            EXPECT_TRUE(o.active) << o.name;
            EXPECT_GT(o.width, 0) << o.name;
            EXPECT_GT(o.height, 0) << o.name;
        }
        struct stat st {};
        ASSERT_EQ(::lstat(sway.socket_path().c_str(), &st), 0) << sway.socket_path();
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        ASSERT_EQ(::stat(runtime.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        if (::geteuid() == 0) {
            EXPECT_NE(st.st_uid, 0u) << "sway must not run as root";
        }
        EXPECT_FALSE(gone_or_zombie(pid));
    }
    EXPECT_TRUE(gone_or_zombie(pid)) << "sway still running after teardown";
    EXPECT_FALSE(std::filesystem::exists(runtime)) << runtime;
}

TEST_F(SwayHarness, CreateOutputAndModeChangeShowInGrabs) {
    Sway sway(2);
    EXPECT_EQ(sway.create_output(), "HEADLESS-3");
    ASSERT_EQ(sway.outputs().size(), 3u);

    sway.set_mode("HEADLESS-1", 640, 480);
    auto info = sway.output("HEADLESS-1");
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->width, 640);
    EXPECT_EQ(info->height, 480);
    Image img = sway.grab("HEADLESS-1");
    EXPECT_EQ(img.width, 640);
    EXPECT_EQ(img.height, 480);

    // Nothing draws on an empty output but sway's clear colour: one uniform grey.
    const Rgb clear = img.pixel(0, 0);
    EXPECT_TRUE(img.all_near(clear)) << "first pixel " << clear << ", average " << img.average();
    EXPECT_TRUE(clear.r == clear.g && clear.g == clear.b) << clear;
    Image other = sway.grab("HEADLESS-3");
    EXPECT_TRUE(other.all_near(clear)) << other.average();
    EXPECT_GT(other.width, 0);

    EXPECT_THROW(sway.grab("HEADLESS-9"), std::runtime_error);
}

TEST_F(SwayHarness, SwaybgPaintsOutputsRed) {
    HARNESS_REQUIRE_TOOLS("swaybg");
    Sway sway(2);
    Image before = sway.grab("HEADLESS-1");
    ASSERT_EQ(before.count_near(kRed), 0u);

    Process bg({"swaybg", "-c", "#ff0000"}, sway.env());
    Image last;
    EXPECT_TRUE(sway.wait_for_image("HEADLESS-1", [](const Image& i) { return i.all_near(kRed); }, 10s, &last))
        << "average " << last.average() << "\n" << bg.describe();
    EXPECT_TRUE(sway.wait_for_image("HEADLESS-2", [](const Image& i) { return i.all_near(kRed); }, 10s, &last))
        << "average " << last.average();
    EXPECT_TRUE(bg.running());

    // Stopping the client must bring the empty output back.
    bg.stop();
    EXPECT_TRUE(sway.wait_for_image(
        "HEADLESS-1", [&](const Image& i) { return i.all_near(before.pixel(0, 0)); }, 10s, &last))
        << "average " << last.average();
}

TEST_F(SwayHarness, KilledSwayDisconnectsItsClients) {
    HARNESS_REQUIRE_TOOLS("swaybg");
    Sway sway(1);
    Process bg({"swaybg", "-c", "#00ff00"}, sway.env());
    ASSERT_TRUE(sway.wait_for_image("HEADLESS-1", [](const Image& i) { return i.all_near(Rgb{0, 255, 0}); }, 10s))
        << bg.describe();
    const pid_t pid = sway.pid();
    sway.kill();
    EXPECT_TRUE(gone_or_zombie(pid));
    auto st = bg.wait_exit(10s);
    EXPECT_TRUE(st.has_value()) << "swaybg survived its compositor\n" << bg.describe();
}

// ---------------------------------------------------------------------------

class ProxyHarness : public SwayHarness {
protected:
    void SetUp() override {
        SwayHarness::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        HARNESS_REQUIRE_TOOLS("swaybg");
        HARNESS_SKIP_UNLESS(!wlproxy_path().empty(), "WLPROXY does not name the wlproxy executable");
    }
};

TEST_F(ProxyHarness, ForwardsTrafficAndInjectsCloseAndRemove) {
    Sway sway(2);
    Proxy proxy(sway);
    // Nothing is connected yet, so no output is known.
    EXPECT_FALSE(proxy.remove("HEADLESS-1"));

    Process bg({"swaybg", "-c", "#ff0000"}, merge(proxy.env(), {{"WAYLAND_DEBUG", "1"}}));
    // Pixels through the proxy prove wl_shm's descriptors were passed on.
    Image last;
    ASSERT_TRUE(sway.wait_for_image("HEADLESS-1", [](const Image& i) { return i.all_near(kRed); }, 10s, &last))
        << "average " << last.average() << "\n" << bg.describe() << proxy.process().describe();
    ASSERT_TRUE(sway.wait_for_image("HEADLESS-2", [](const Image& i) { return i.all_near(kRed); }, 10s, &last));

    e2e::LiveTrace live(bg);
    const Trace& trace = live.read();
    const std::uint32_t registry = trace.program_registry();
    const std::uint32_t out1 = trace.output_named("HEADLESS-1"), out2 = trace.output_named("HEADLESS-2");
    ASSERT_TRUE(out1 && out2) << bg.describe(8000);
    std::uint32_t surface1 = 0, global2 = 0;
    for (const auto& m : trace.requests("zwlr_layer_shell_v1", "get_layer_surface")) {
        surface1 = m.object_arg(2) == out1 ? m.object_arg(0) : surface1;
    }
    for (const auto& m : trace.requests("wl_registry", "bind")) {
        global2 = m.id == registry && m.object_arg(3) == out2 ? std::uint32_t(m.number_arg(0)) : global2;
    }
    ASSERT_TRUE(surface1 && global2) << bg.describe(8000);

    EXPECT_FALSE(proxy.close("HEADLESS-7"));
    ASSERT_TRUE(proxy.close("HEADLESS-1")) << proxy.process().describe();
    EXPECT_TRUE(live.wait([](const Trace& t) { return t.count_events("zwlr_layer_surface_v1", "closed") > 0; }, 5s))
        << bg.describe(8000);
    const auto closed = trace.events("zwlr_layer_surface_v1", "closed");
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].id, surface1);

    ASSERT_TRUE(proxy.remove("HEADLESS-2")) << proxy.process().describe();
    EXPECT_TRUE(live.wait([](const Trace& t) { return t.count_events("wl_registry", "global_remove") > 0; }, 5s))
        << bg.describe(8000);
    const auto removed = trace.events("wl_registry", "global_remove");
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].id, registry);
    EXPECT_EQ(removed[0].number_arg(0), global2);
    // A second remove of the same output has nothing left to remove.
    EXPECT_FALSE(proxy.remove("HEADLESS-2"));

    // The injected events are well-formed: the client carries on without a
    // protocol error and the connection still works both ways.
    EXPECT_TRUE(bg.running()) << bg.describe(8000);
    EXPECT_EQ(live.read().count_events("wl_display", "error"), 0u) << bg.describe(8000);
    EXPECT_TRUE(proxy.process().running());

    // The proxy leaves with its client.
    bg.stop();
    EXPECT_TRUE(proxy.process().wait_exit(5s).has_value()) << proxy.process().describe();
}

// ---------------------------------------------------------------------------

TEST(WestonHarness, OffersOneOutputOfTheSizeAndNoLayerShell) {
    HARNESS_REQUIRE_TOOLS("weston", "wayland-info");
    Weston weston(800, 600);
    const std::string info = weston.wayland_info();
    EXPECT_EQ(versions_of(parse_globals(info), "wl_output").size(), 1u) << info;
    EXPECT_EQ(versions_of(parse_globals(info), "zwlr_layer_shell_v1").size(), 0u) << info;
    EXPECT_EQ(count_matches(info, R"(width: 800 px, height: 600 px)"), 1u) << info;
}
