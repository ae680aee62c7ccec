// The bundled example shaders, as users start them: each one compiled by the
// program itself on a headless sway and read back with grim, to show that it
// builds as GLSL 1.10 between the program's prefix and suffix (not as
// Shadertoy's GLSL ES 3.00, tried only after that), draws a picture that is
// not the empty output, and keeps moving.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "harness.hpp"
#include "trace.hpp"

using namespace harness;
namespace fs = std::filesystem;

namespace {

// Small, so that Mesa's software renderer keeps up on a two-core machine.
constexpr int kWidth = 320;
constexpr int kHeight = 180;
constexpr int kTolerance = 2;

fs::path examples_dir()
{
    const char *dir = std::getenv("EXAMPLES_DIR");
    return dir ? fs::path(dir) : fs::path();
}

std::vector<std::string> example_names()
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(examples_dir(), ec)) {
        if (entry.path().extension() == ".frag")
            names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string lumivane_path()
{
    const char *path = std::getenv("LUMIVANE");
    return path ? path : "lumivane";
}

// Pixels that differ from `colour` by more than the tolerance in some channel.
std::size_t count_away_from(const Image &image, Rgb colour)
{
    return std::size_t(image.width) * image.height - image.count_near(colour, kTolerance);
}

// The set as a whole: enough of them, and every uniform the program sets is
// shown in use somewhere (iMouse is always zero, so none needs it).
TEST(ExamplesDirectory, HoldsSixToEightShadersUsingEveryUniform)
{
    const std::vector<std::string> names = example_names();
    ASSERT_GE(names.size(), 6u) << "EXAMPLES_DIR=" << examples_dir();
    EXPECT_LE(names.size(), 8u);

    std::string all;
    for (const std::string &name : names)
        all += read_file(examples_dir() / (name + ".frag"));
    for (const char *uniform : {"iResolution", "iTime", "iTimeDelta", "iFrame"})
        EXPECT_NE(all.find(uniform), std::string::npos) << "no example reads " << uniform;
}

class ExampleShader : public ::testing::TestWithParam<std::string> {
  protected:
    // One compositor for every example: starting sway costs more than a shader.
    static void SetUpTestSuite()
    {
        if (!missing_tools({"sway", "swaymsg", "grim"}).empty())
            return;
        sway_ = std::make_unique<Sway>(1);
        sway_->set_mode("HEADLESS-1", kWidth, kHeight);
        empty_ = sway_->grab("HEADLESS-1");
    }
    static void TearDownTestSuite()
    {
        sway_.reset();
    }

    void SetUp() override
    {
        HARNESS_REQUIRE_TOOLS("sway", "swaymsg", "grim");
    }

    static std::unique_ptr<Sway> sway_;
    static Image empty_;
};

std::unique_ptr<Sway> ExampleShader::sway_;
Image ExampleShader::empty_;

TEST_P(ExampleShader, CompilesDrawsAndAnimates)
{
    ASSERT_TRUE(sway_);
    ASSERT_EQ(empty_.width, kWidth);
    // Without an output of its own colour, "drew something" means nothing.
    const Rgb empty_colour = empty_.pixel(0, 0);
    ASSERT_TRUE(empty_.all_near(empty_colour)) << "the empty output is not one colour";

    const fs::path shader = examples_dir() / (GetParam() + ".frag");
    // A last line without a newline would be joined to the program's suffix.
    const std::string source = read_file(shader);
    ASSERT_FALSE(source.empty());
    EXPECT_EQ(source.back(), '\n') << shader << " does not end with a newline";

    // A copy that only GLSL 1.10 compiles: an example that needed Shadertoy's
    // dialect would end the run.
    TempFile guarded(source + "#if __VERSION__ != 110\n#error not GLSL 1.10\n#endif\n",
                     shader.filename().string());
    Process client({lumivane_path(), "HEADLESS-1", guarded.str()}, sway_->env());

    // Most of the output covered, and not by one flat colour. A client that
    // ended (a shader that does not compile) ends the wait at once.
    const std::size_t pixels = std::size_t(kWidth) * kHeight;
    auto covered = [&](const Image &image) {
        return count_away_from(image, empty_colour) > pixels / 2 &&
               count_away_from(image, image.average()) > pixels / 20;
    };
    Image first;
    sway_->wait_for_image(
        "HEADLESS-1", [&](const Image &image) { return !client.running() || covered(image); }, 20s,
        &first);
    ASSERT_TRUE(client.running()) << client.describe();
    ASSERT_TRUE(covered(first)) << "no picture; average of the last grab " << first.average()
                                << "\n"
                                << client.describe();

    // The shaders are animations: a later frame must differ from this one.
    Image later;
    const bool moved = sway_->wait_for_image(
        "HEADLESS-1", [&](const Image &image) { return image.rgb != first.rgb; }, 10s, &later);
    EXPECT_TRUE(moved) << "the picture did not change\n" << client.describe();

    // Still running and silent apart from the start-up lines: a compile
    // failure or a GL error would have ended it with a message. Mesa's own
    // lines (before the GL version, from Mesa 25 on) are not the program's.
    EXPECT_TRUE(client.running()) << client.describe();
    const std::vector<std::string> lines = Trace(client.stderr_text()).program_lines();
    ASSERT_EQ(lines.size(), 2u) << client.describe();
    EXPECT_EQ(lines[0], "Running lumivane with output = 'HEADLESS-1' shader = '" + guarded.str() +
                            "' fps = inf layer = 0");
    EXPECT_TRUE(lines[1].starts_with("GL version: ")) << lines[1];
    client.stop();

    // Gone with its client: the next example starts from the empty output.
    EXPECT_TRUE(sway_->wait_for_image(
        "HEADLESS-1", [&](const Image &image) { return image.all_near(empty_colour, kTolerance); },
        10s));
}

INSTANTIATE_TEST_SUITE_P(Bundled, ExampleShader, ::testing::ValuesIn(example_names()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });
// An empty or missing directory is reported by ExamplesDirectory above.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ExampleShader);

} // namespace
