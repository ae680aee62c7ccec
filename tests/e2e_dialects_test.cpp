// Shaders written as people write them on Shadertoy: what only GLSL ES 3.00
// has, Shadertoy's inputs with Shadertoy's meaning, a byte-order mark and
// variables left uninitialised, each read back from a headless sway; and how
// a shader that neither dialect takes is reported.
#include "e2e_support.hpp"

#include <ctime>
#include <set>

namespace {

using namespace e2e;

constexpr int kWidth = 64;
constexpr int kHeight = 32;

std::string image_shader(const std::string &before, const std::string &body)
{
    return before + "void mainImage(out vec4 c, in vec2 p) {\n" + body + "}\n";
}

class Dialects : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        if (!lumivane_path().empty() && missing_tools({"sway", "swaymsg", "grim"}).empty())
            sway_ = std::make_unique<Sway>(1, "output * mode " + std::to_string(kWidth) + "x" +
                                                  std::to_string(kHeight));
    }
    static void TearDownTestSuite()
    {
        sway_.reset();
    }
    void SetUp() override
    {
        E2E_REQUIRE_SWAY();
    }

    // Runs the shader until the output shows what `drawn` wants, or the
    // program ends, or 15 s pass; returns the last picture.
    Image draw(const std::string &source, const std::function<bool(const Image &)> &drawn,
               std::string *err = nullptr)
    {
        TempFile file(source, "shader.frag");
        auto program = start({"HEADLESS-1", file.str()}, sway_->env());
        Image last;
        sway_->wait_for_image(
            "HEADLESS-1", [&](const Image &img) { return !program->running() || drawn(img); }, 15s,
            &last);
        EXPECT_TRUE(program->running()) << program->describe();
        if (err)
            *err = program->stderr_text();
        program->stop();
        return last;
    }

    static std::unique_ptr<Sway> sway_;
};

std::unique_ptr<Sway> Dialects::sway_;

bool near(Rgb a, Rgb b)
{
    return std::abs(a.r - b.r) <= 1 && std::abs(a.g - b.g) <= 1 && std::abs(a.b - b.b) <= 1;
}

TEST_F(Dialects, ShadertoyShadersDrawWithShadertoysInputs)
{
    struct drawn_case {
        const char *what;
        std::string source;
        Rgb colour; // of every pixel
    };
    const std::string loop = "    for (int k = 0; k < 4; k++) n += 0.125;\n";
    const drawn_case cases[] = {
        // GLSL 1.10 comes first: what it takes keeps its iResolution.z of 0.
        {"a shader both dialects take",
         image_shader("", "    c = vec4(iResolution.z, 1.0, 0.0, 1.0);\n"),
         {0, 255, 0}},
        {"HW_PERFORMANCE, in GLSL 1.10",
         image_shader("", "#if HW_PERFORMANCE == 1\n    c = vec4(0.0, 1.0, 1.0, 1.0);\n#endif\n"),
         {0, 255, 255}},
        {"a byte-order mark",
         "\xEF\xBB\xBF" + image_shader("", "    c = vec4(1.0, 0.0, 0.5, 1.0);\n"),
         {255, 0, 128}},
        {"a const from a function call",
         image_shader("const float h = sqrt(0.25);\n", "    c = vec4(h, 1.0, 0.0, 1.0);\n"),
         {128, 255, 0}},
        {"an #extension line after code",
         image_shader(
             "const float h = sqrt(0.25);\n#extension GL_OES_standard_derivatives : enable\n",
             "    c = vec4(h, 0.0, 1.0, 1.0);\n"),
         {128, 0, 255}},
        {"trunc, tanh, inverse",
         image_shader(
             "", "    c = vec4(trunc(1.75) * 0.5, tanh(0.0), inverse(mat2(4.0))[1][1], 1.0);\n"),
         {128, 0, 64}},
        {"an array constructor and length()",
         image_shader("", "    float v[] = float[](0.0, 0.25, 1.0);\n"
                          "    c = vec4(v[2], v[1], float(v.length()) / 4.0, 1.0);\n"),
         {255, 64, 191}},
        {"uint, bit operations and %",
         image_shader(
             "",
             "    uint u = 0xF0u >> 4;\n"
             "    c = vec4(float(u & 5u) / 5.0, float(7 % 4) / 4.0, float(1 << 2) / 8.0, 1.0);\n"),
         {255, 191, 128}},
        {"iFrame as an int, iResolution.z",
         image_shader("", "    int f = iFrame;\n"
                          "    c = vec4(iResolution.z, f > 2 ? 1.0 : 0.0, 0.0, 1.0);\n"),
         {255, 255, 0}},
        {"an empty channel, iSampleRate, iFrameRate, the zero inputs",
         image_shader(
             "",
             "    vec4 t = texture(iChannel0, p / iResolution.xy);\n"
             "    float zero = length(iMouse) + iChannelTime[1] + length(iChannelResolution[2]);\n"
             "    c = vec4(t.a - t.r - t.g - t.b, iSampleRate / 44100.0 + zero,\n"
             "             iFrameRate > 5.0 && iFrameRate < 1000.0 ? 1.0 : 0.0, 1.0);\n"),
         {255, 255, 255}},
        {"an uninitialised variable",
         image_shader("", "    float n;\n" + loop + "    c = vec4(n, 1.0, n, 1.0);\n"),
         {128, 255, 128}},
        {"an uninitialised variable in GLSL ES 3.00",
         image_shader("",
                      "    float n;\n" + loop + "    c = vec4(n, float(iFrame & 0), n, 1.0);\n"),
         {128, 0, 128}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const Image img = draw(c.source, [&](const Image &i) { return i.all_near(c.colour, 1); });
        EXPECT_TRUE(img.all_near(c.colour, 1)) << img.pixel(0, 0) << " for " << c.colour;
    }
}

// Left half: year after 2000 in hundredths, month 0-11 in elevenths, day of
// the month in 31sts; right half: the seconds since midnight in days.
TEST_F(Dialects, DateIsTheLocalClock)
{
    const std::string shader = image_shader(
        "", "    c = p.x < iResolution.x * 0.5\n"
            "        ? vec4((iDate.x - 2000.0) / 100.0, iDate.y / 11.0, iDate.z / 31.0, 1.0)\n"
            "        : vec4(iDate.w / 86400.0, 0.0, 0.0, 1.0);\n");
    auto expected = [](std::time_t when) {
        std::tm local{};
        localtime_r(&when, &local);
        auto byte = [](double v) { return std::uint8_t(v * 255.0 + 0.5); };
        double seconds = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
        return std::pair{Rgb{byte((local.tm_year - 100) / 100.0), byte(local.tm_mon / 11.0),
                             byte(local.tm_mday / 31.0)},
                         byte(seconds / 86400.0)};
    };
    // Read before and after the grab, so that a day or a step that turns
    // meanwhile is one of the two.
    const std::time_t before = std::time(nullptr);
    const Image img = draw(shader, [](const Image &i) {
        return i.pixel(kWidth - 1, 0).g == 0 && i.pixel(0, 0).r > 0;
    });
    const std::time_t after = std::time(nullptr);
    bool matched = false;
    for (std::time_t when : {before, after}) {
        const auto [date, seconds] = expected(when);
        matched = matched || (near(img.pixel(0, 0), date) &&
                              std::abs(img.pixel(kWidth - 1, 0).r - seconds) <= 1);
    }
    EXPECT_TRUE(matched) << "date " << img.pixel(0, 0) << ", time "
                         << int(img.pixel(kWidth - 1, 0).r) << "; the clock said "
                         << expected(before).first << ", " << int(expected(before).second);
}

// The lines a Mesa log points at: "0:LINE(COLUMN): error: ...".
std::set<int> lines_in(const std::string &log)
{
    std::set<int> lines;
    const std::regex at(R"(\b0:([0-9]+)\()");
    for (auto m = std::sregex_iterator(log.begin(), log.end(), at); m != std::sregex_iterator();
         ++m)
        lines.insert(std::stoi((*m)[1]));
    return lines;
}

// When neither dialect takes the shader, the GLSL 1.10 log comes first as it
// always did, counting the prefix as line 1, then the GLSL ES 3.00 log under
// its own heading, with the lines of the user's file. A shader that compiles
// as GLSL 1.10 but does not link stays GLSL 1.10's failure.
TEST_F(Dialects, ShadersNeitherDialectTakesShowBothLogs)
{
    const std::string compile = "Failed to compile fragment shader: ";
    const std::string es300 = "As Shadertoy's GLSL ES 3.00: ";
    struct refused_case {
        const char *what;
        std::string source;
        std::string first; // how the report begins
        std::set<int> glsl110_lines, es300_lines;
    };
    const refused_case cases[] = {
        {"errors on lines 1 and 3, and on line 3 only in GLSL ES 3.00",
         image_shader("const float h = sqrt(0.25);\n",
                      "    c = vec4(h, not_declared, 0.0, 1.0);\n"),
         compile,
         {2, 4},
         {3}},
        {"a link failure of GLSL ES 3.00",
         "void mainImage(out vec4 c, in vec2 p);\nint odd() { return iFrame % 2; }\n",
         compile,
         {3},
         {}},
        {"a link failure of GLSL 1.10",
         "void mainImage(out vec4 c, in vec2 p);\n",
         "Failed to link shader:\n",
         {},
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempFile file(c.source, "refused.frag");
        auto program = start({"HEADLESS-1", file.str()}, sway_->env());
        const auto status = program->wait_exit(20s);
        ASSERT_TRUE(status.has_value()) << program->describe();
        EXPECT_EQ(status->describe(), "exit 1");

        const std::string text = own_text(program->stderr_text());
        const std::size_t report = text.find('\n', text.find("GL version: ")) + 1;
        ASSERT_NE(report, 0u) << text;
        EXPECT_EQ(text.compare(report, c.first.size(), c.first), 0) << text;
        const std::size_t heading = text.find("\n" + es300);
        if (c.first != compile) {
            EXPECT_EQ(heading, std::string::npos) << text;
            continue;
        }
        ASSERT_NE(heading, std::string::npos) << text;
        const std::string es_log = text.substr(heading + 1 + es300.size());
        EXPECT_GT(es_log.size(), 1u) << text;
        EXPECT_EQ(lines_in(text.substr(report, heading - report)), c.glsl110_lines) << text;
        EXPECT_EQ(lines_in(es_log), c.es300_lines) << text;
    }
}

} // namespace
