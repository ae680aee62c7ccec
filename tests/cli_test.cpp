// The command line as users meet it: the built binary run with no compositor
// to reach, checked for exact output streams and status.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace harness;

struct run_result {
    std::string out;
    std::string err;
    int status = -1;
};

// Runs lumivane with the given arguments, with the connection pointed at a
// socket that does not exist, so every run that passes the command line ends
// at the connection.
run_result run(std::vector<std::string> args)
{
    static TempDir runtime_dir("lumivane-cli");
    const char *binary = getenv("LUMIVANE");
    args.insert(args.begin(), binary ? binary : "lumivane");
    Process program(args, {{"XDG_RUNTIME_DIR", runtime_dir.path().string()},
                           {"WAYLAND_DISPLAY", "no-such-socket"},
                           {"WAYLAND_SOCKET", std::nullopt},
                           {"WAYLAND_DEBUG", std::nullopt}});
    std::optional<ExitStatus> status = program.wait_exit(10s);
    if (!status)
        ADD_FAILURE() << "lumivane did not finish within 10 s";
    return {program.stdout_text(), program.stderr_text(),
            !status ? -1 : status->signaled ? 128 + status->signal : status->code};
}

const std::string usage =
    "lumivane [-h|--fps F|--layer l|--speed S] output-name shader.frag\n"
    "The provided fragment shaders should follow the Shadertoy API\n";

const std::string help =
    usage +
    "\nPrefix:\n\n"
    "uniform vec3 iResolution; uniform float iTime; uniform float iTimeDelta; uniform float "
    "iFrame; uniform vec4 iMouse;\n"
    "\nSuffix:\n\n"
    "void main() {\n    mainImage(gl_FragColor, gl_FragCoord.xy);\n}\n";

std::string run_line(const std::string &output, const std::string &shader, const std::string &fps,
                     int layer)
{
    return "Running lumivane with output = '" + output + "' shader = '" + shader +
           "' fps = " + fps + " layer = " + std::to_string(layer) + "\n";
}

const std::string no_display = "Failed to connect to display\n";

TEST(CommandLine, HelpEndsBeforeAnythingElse)
{
    const std::vector<std::vector<std::string>> cases = {
        {"-h"},
        {"--help"},
        {"--he"},
        {"*", "x.frag", "-h"},
        {"--fps", "30", "--layer", "top", "--help", "ignored"},
        {"-h", "--fps", "0"},
    };
    for (const auto &args : cases) {
        run_result r = run(args);
        EXPECT_EQ(r.out, help) << args[0];
        EXPECT_EQ(r.err, "") << args[0];
        EXPECT_EQ(r.status, 0) << args[0];
    }
}

TEST(CommandLine, UsageErrorsPrintUsageOnStandardOutput)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"*"},
        {"*", "a.frag", "extra"},
        {"-s", "2", "*", "a.frag"},
        {"--bogus", "*", "a.frag"},
        {"*", "a.frag", "--fps"},
        {"--help=yes"},
        {"--", "*"},
    };
    for (const auto &args : cases) {
        run_result r = run(args);
        std::string label = args.empty() ? "(none)" : args[0] + (args.size() > 1 ? " " + args[1] : "");
        EXPECT_EQ(r.out, usage) << label;
        EXPECT_EQ(r.status, 1) << label;
        EXPECT_EQ(r.err.find("Running lumivane"), std::string::npos) << label;
    }
    // getopt_long's own diagnostic goes to standard error; none for a bare operand count.
    EXPECT_NE(run({"-s", "2", "*", "a.frag"}).err, "");
    EXPECT_EQ(run({"*"}).err, "");
}

TEST(CommandLine, InvalidNumbersEndBeforeTheRunLine)
{
    struct invalid {
        std::vector<std::string> args;
        std::string out;
    };
    const std::vector<invalid> cases = {
        {{"--fps", "", "*", "a"}, "Invalid fps ''\n"},
        {{"--fps", "0", "*", "a"}, "Invalid fps '0'\n"},
        {{"-f", "-5", "*", "a"}, "Invalid fps '-5'\n"},
        {{"-f", "abc", "*", "a"}, "Invalid fps 'abc'\n"},
        {{"-f", "30fps", "*", "a"}, "Invalid fps '30fps'\n"},
        {{"-f", "30 ", "*", "a"}, "Invalid fps '30 '\n"},
        {{"-f", "nan", "*", "a"}, "Invalid fps 'nan'\n"},
        {{"-f", "1e-50", "*", "a"}, "Invalid fps '1e-50'\n"},
        {{"--fps", "0", "-h"}, "Invalid fps '0'\n"},
        {{"-f", "30", "-f", "0", "*", "a"}, "Invalid fps '0'\n"},
        {{"--speed", "0", "*", "a"}, "Invalid speed '0'\n"},
        {{"--sp", "-1", "*", "a"}, "Invalid speed '-1'\n"},
        {{"--speed=NaN", "*", "a"}, "Invalid speed 'NaN'\n"},
    };
    for (const auto &c : cases) {
        run_result r = run(c.args);
        EXPECT_EQ(r.out, c.out) << c.args[1];
        EXPECT_EQ(r.err, "") << c.args[1];
        EXPECT_EQ(r.status, 1) << c.args[1];
    }
}

TEST(CommandLine, ValidSettingsReachTheRunLineThenTheConnection)
{
    struct valid {
        std::vector<std::string> args;
        std::string output, shader, fps;
        int layer;
    };
    const std::vector<valid> cases = {
        {{"*", "x.frag"}, "*", "x.frag", "inf", 0},
        {{"--fps", "59.94", "*", "x.frag"}, "*", "x.frag", "59.939999", 0},
        {{"--fps=30", "HDMI-A-1", "s"}, "HDMI-A-1", "s", "30.000000", 0},
        {{"-f30", "o", "s"}, "o", "s", "30.000000", 0},
        {{"-f", "0x1E", "o", "s"}, "o", "s", "30.000000", 0},
        {{"-f", " 30", "o", "s"}, "o", "s", "30.000000", 0},
        {{"-f", "INF", "o", "s"}, "o", "s", "inf", 0},
        {{"-f", "1e39", "o", "s"}, "o", "s", "inf", 0},
        {{"-f", "30", "-f", "60", "o", "s"}, "o", "s", "60.000000", 0},
        {{"--speed", "inf", "-l", "bottom", "o", "s"}, "o", "s", "inf", 1},
        {{"--layer", "top", "o", "s"}, "o", "s", "inf", 2},
        {{"--layer=overlay", "o", "s"}, "o", "s", "inf", 3},
        {{"o", "s", "--fps", "30"}, "o", "s", "30.000000", 0},
        {{"--", "-dash", "s"}, "-dash", "s", "inf", 0},
    };
    for (const auto &c : cases) {
        run_result r = run(c.args);
        EXPECT_EQ(r.out, "") << c.args[0];
        EXPECT_EQ(r.err, run_line(c.output, c.shader, c.fps, c.layer) + no_display) << c.args[0];
        EXPECT_EQ(r.status, 1) << c.args[0];
    }
}

TEST(CommandLine, UnknownLayerIsReportedAndIgnored)
{
    const std::string message =
        "; should be one of 'background', 'bottom', 'top', 'overlay'\n";
    run_result r = run({"--layer", "Top", "*", "s"});
    EXPECT_EQ(r.out, "Invalid layer 'Top'" + message);
    EXPECT_EQ(r.err, run_line("*", "s", "inf", 0) + no_display);
    EXPECT_EQ(r.status, 1);

    r = run({"--layer", "top", "--layer", "nonsense", "*", "s"});
    EXPECT_EQ(r.out, "Invalid layer 'nonsense'" + message);
    EXPECT_EQ(r.err, run_line("*", "s", "inf", 2) + no_display);
}

} // namespace
