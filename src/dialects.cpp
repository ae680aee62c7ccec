#include "dialects.hpp"

#include "gl_functions.hpp"
#include "messages.hpp"
#include "state.hpp"

#include <cstdio>
#include <cstring>
#include <ctime>

using namespace gl_entry;

namespace {

// --- GLSL 1.10, the program's own wrapping: what --help shows. ---

// Shadertoy defines it for every shader, and shaders choose their quality by
// it. #line 0 makes the prefix line 1 again, so that the lines of a log count
// as they always did.
constexpr std::string_view glsl110_defines = "#define HW_PERFORMANCE 1\n#line 0\n";

constexpr const char glsl110_vertex[] = "attribute vec2 pos;\n"
                                        "void main() {\n"
                                        "  gl_Position = vec4(pos.x, pos.y, 0, 1);\n"
                                        "}\n";

bool always()
{
    return true;
}

void upload_time(GLint location, const draw_target &target)
{
    glUniform1f(location, target.state->time);
}

void upload_time_delta(GLint location, const draw_target &target)
{
    glUniform1f(location, target.state->time_delta);
}

void upload_resolution_110(GLint location, const draw_target &target)
{
    glUniform3f(location, target.width, target.height, 0.0f);
}

void upload_frame_float(GLint location, const draw_target &target)
{
    glUniform1f(location, float(target.state->frame));
}

void upload_mouse(GLint location, const draw_target &)
{
    glUniform4f(location, 0.0f, 0.0f, 0.0f, 0.0f);
}

constexpr shader_input glsl110_inputs[] = {
    {"iTime", upload_time},
    {"iTimeDelta", upload_time_delta},
    {"iResolution", upload_resolution_110},
    {"iFrame", upload_frame_float},
    {"iMouse", upload_mouse},
};

// --- GLSL ES 3.00 as Shadertoy wraps an Image pass. ---

// Declared as Shadertoy declares them. main() comes before the file, through
// mainImage's prototype, so that the file can end in a comment without a
// line end; #line makes the compiler count the file's lines from 1.
constexpr std::string_view shadertoy_prefix =
    "#version 300 es\n"
    "precision highp float;\n"
    "precision highp int;\n"
    "precision mediump sampler3D;\n"
    "#define HW_PERFORMANCE 1\n"
    "uniform vec3 iResolution;\n"
    "uniform float iTime;\n"
    "uniform float iChannelTime[4];\n"
    "uniform vec4 iMouse;\n"
    "uniform vec4 iDate;\n"
    "uniform float iSampleRate;\n"
    "uniform vec3 iChannelResolution[4];\n"
    "uniform int iFrame;\n"
    "uniform float iTimeDelta;\n"
    "uniform float iFrameRate;\n"
    "uniform sampler2D iChannel0;\n"
    "uniform sampler2D iChannel1;\n"
    "uniform sampler2D iChannel2;\n"
    "uniform sampler2D iChannel3;\n"
    "uniform struct { sampler2D sampler; vec3 size; float time; int loaded; } iCh0;\n"
    "uniform struct { sampler2D sampler; vec3 size; float time; int loaded; } iCh1;\n"
    "uniform struct { sampler2D sampler; vec3 size; float time; int loaded; } iCh2;\n"
    "uniform struct { sampler2D sampler; vec3 size; float time; int loaded; } iCh3;\n"
    "void mainImage(out vec4 c, in vec2 f);\n"
    "out vec4 shadertoy_out_color;\n"
    "void main() {\n"
    "    vec4 color = vec4(0.0);\n"
    "    mainImage(color, gl_FragCoord.xy);\n"
    "    shadertoy_out_color = vec4(color.rgb, 1.0);\n"
    "}\n"
    "#line 1\n";

constexpr const char es300_vertex[] = "#version 300 es\n"
                                      "in vec2 pos;\n"
                                      "void main() {\n"
                                      "  gl_Position = vec4(pos.x, pos.y, 0, 1);\n"
                                      "}\n";

// Whole names only: one extension's name can begin another's.
bool has_extension(const char *list, const char *name)
{
    size_t length = strlen(name);
    for (const char *at = list; at && (at = strstr(at, name)); at += length) {
        bool starts = at == list || at[-1] == ' ';
        char after = at[length];
        if (starts && (after == ' ' || after == '\0'))
            return true;
    }
    return false;
}

bool compiles_es300()
{
    int major = 0, minor = 0;
    const auto *version = reinterpret_cast<const char *>(glGetString(GL_VERSION));
    if (version && sscanf(version, "%d.%d", &major, &minor) == 2 &&
        (major > 4 || (major == 4 && minor >= 3)))
        return true;
    return has_extension(reinterpret_cast<const char *>(glGetString(GL_EXTENSIONS)),
                         "GL_ARB_ES3_compatibility");
}

void upload_resolution(GLint location, const draw_target &target)
{
    // The third component is the pixel aspect ratio, square here.
    glUniform3f(location, target.width, target.height, 1.0f);
}

void upload_frame(GLint location, const draw_target &target)
{
    glUniform1i(location, GLint(target.state->frame));
}

void upload_frame_rate(GLint location, const draw_target &target)
{
    glUniform1f(location, target.state->frame_rate);
}

void upload_date(GLint location, const draw_target &target)
{
    const timespec &now = target.state->wall_clock;
    tm local{};
    localtime_r(&now.tv_sec, &local);
    int whole = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    glUniform4f(location, float(local.tm_year + 1900), float(local.tm_mon), float(local.tm_mday),
                float(whole) + float(now.tv_nsec) * 1e-9f);
}

// iMouse, iChannelTime, iChannelResolution and the samplers stay as linking
// left them, all zero: no pointer input, and every channel empty, which
// samples as (0, 0, 0, 1) from the unbound texture unit 0.
// clang-format off
constexpr shader_input shadertoy_inputs[] = {
    {"iResolution", upload_resolution},
    {"iTime", upload_time},
    {"iTimeDelta", upload_time_delta},
    {"iFrame", upload_frame},
    {"iFrameRate", upload_frame_rate},
    {"iDate", upload_date},
};
// clang-format on

constexpr shader_constant shadertoy_constants[] = {
    {"iSampleRate", 44100.0f},
};

static_assert(std::size(glsl110_inputs) <= max_shader_inputs);
static_assert(std::size(shadertoy_inputs) <= max_shader_inputs);

constexpr shader_dialect dialects[] = {
    {
        .available = always,
        .defines = glsl110_defines,
        .prefix = shader_prefix,
        .suffix = shader_suffix,
        .vertex_source = glsl110_vertex,
        .compile_failed = msg::fragment_compile_failed,
        .link_failed = msg::link_failed,
        .inputs = glsl110_inputs,
        .constants = {},
    },
    {
        .available = compiles_es300,
        .defines = {},
        .prefix = shadertoy_prefix,
        .suffix = "\n",
        .vertex_source = es300_vertex,
        .compile_failed = msg::es300_failed,
        .link_failed = msg::es300_failed,
        .inputs = shadertoy_inputs,
        .constants = shadertoy_constants,
    },
};

} // namespace

const std::span<const shader_dialect> shader_dialects = dialects;
