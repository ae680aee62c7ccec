#include "egl.hpp"

#include "gl_functions.hpp"
#include "messages.hpp"
#include "state.hpp"

#include <EGL/eglext.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One attribute and its value per line.
// clang-format off
constexpr EGLint config_attribs[] = {
    EGL_SURFACE_TYPE, EGL_WINDOW_BIT,
    EGL_RED_SIZE, 1,
    EGL_GREEN_SIZE, 1,
    EGL_BLUE_SIZE, 1,
    EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT,
    EGL_NONE,
};

constexpr EGLint context_attribs[] = {
    EGL_CONTEXT_MAJOR_VERSION, 2,
    EGL_NONE,
};
// clang-format on

// XRGB8888: the format every compositor composites on its fast path, and one
// without alpha, so that no shader can make a wallpaper see-through. Mesa
// lists its 10-bit configs first, and a compositor that composites on the
// CPU pays for those on every frame far more than the frame costs to draw.
constexpr EGLint opaque_8bit[][2] = {
    {EGL_RED_SIZE, 8},
    {EGL_GREEN_SIZE, 8},
    {EGL_BLUE_SIZE, 8},
    {EGL_ALPHA_SIZE, 0},
};

bool is_opaque_8bit(EGLDisplay display, EGLConfig config)
{
    for (const auto &[attrib, size] : opaque_8bit) {
        EGLint value = -1;
        if (eglGetConfigAttrib(display, config, attrib, &value) == EGL_FALSE || value != size)
            return false;
    }
    return true;
}

// What WebGL's compilers do, and so Shadertoy's, which Mesa's does only when
// asked through its driver options: start every variable at zero, which
// Shadertoy's shaders often rely on, and take an #extension line after code.
constexpr const char *mesa_options[] = {"glsl_zero_init",
                                        "allow_glsl_extension_directive_midshader"};

// Mesa reads its options from the environment as EGL initialises, and says
// that each was overridden unless told to be silent. An option the user set
// keeps its value, and Mesa's lines stay.
EGLBoolean initialize_with_mesa_options(EGLDisplay display)
{
    bool quiet = !getenv("MESA_DEBUG");
    for (const char *option : mesa_options) {
        quiet = quiet && !getenv(option);
        setenv(option, "true", 0);
    }
    if (quiet)
        setenv("MESA_DEBUG", "silent", 1);
    EGLint major, minor;
    EGLBoolean initialised = eglInitialize(display, &major, &minor);
    if (quiet)
        unsetenv("MESA_DEBUG");
    return initialised;
}

bool report(const char *line)
{
    fputs(line, stderr);
    return false;
}

} // namespace

bool init_egl(app_state *state)
{
    const char *extensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (!extensions || (!strstr(extensions, "EGL_EXT_platform_wayland") &&
                        !strstr(extensions, "EGL_KHR_platform_wayland")))
        return report(msg::no_egl_wayland);

    state->egl_display = eglGetPlatformDisplay(EGL_PLATFORM_WAYLAND_KHR, state->display, nullptr);
    if (state->egl_display == EGL_NO_DISPLAY)
        return report(msg::get_display_failed);

    if (initialize_with_mesa_options(state->egl_display) == EGL_FALSE)
        return report(msg::init_display_failed);

    if (eglBindAPI(EGL_OPENGL_API) == EGL_FALSE)
        return report(msg::bind_api_failed);

    EGLint count = 0;
    if (eglGetConfigs(state->egl_display, nullptr, 0, &count) == EGL_FALSE || count <= 0)
        return report(msg::get_configs_failed);

    auto *configs = static_cast<EGLConfig *>(calloc(size_t(count), sizeof(EGLConfig)));
    if (!configs)
        return report(msg::matching_config_failed);
    EGLint matched = 0;
    bool chosen =
        eglChooseConfig(state->egl_display, config_attribs, configs, count, &matched) == EGL_TRUE &&
        matched > 0;
    // EGL's own order decides among the opaque 8-bit matches, and where
    // there is none the first match is taken as it is.
    if (chosen) {
        state->egl_config = configs[0];
        for (EGLint i = 0; i < matched; ++i) {
            if (is_opaque_8bit(state->egl_display, configs[i])) {
                state->egl_config = configs[i];
                break;
            }
        }
    }
    free(configs);
    if (!chosen)
        return report(msg::matching_config_failed);

    if (const char *missing = load_gl_functions()) {
        fprintf(stderr, msg::gl_function_failed, missing);
        return false;
    }

    state->egl_context =
        eglCreateContext(state->egl_display, state->egl_config, EGL_NO_CONTEXT, context_attribs);
    if (state->egl_context == EGL_NO_CONTEXT) {
        fprintf(stderr, msg::create_context_failed, unsigned(eglGetError()));
        return false;
    }

    if (eglMakeCurrent(state->egl_display, EGL_NO_SURFACE, EGL_NO_SURFACE, state->egl_context) ==
        EGL_FALSE) {
        fprintf(stderr, msg::context_current_failed, unsigned(eglGetError()));
        return false;
    }

    const auto *version = reinterpret_cast<const char *>(glGetString(GL_VERSION));
    fprintf(stderr, msg::gl_version, version ? version : "unknown");

    // Read once: every configured size is held to it before it is kept.
    GLint viewport[2] = {0, 0};
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, viewport);
    state->max_size = {uint32_t(viewport[0] > 0 ? viewport[0] : 0),
                       uint32_t(viewport[1] > 0 ? viewport[1] : 0)};

    if (glGetError() != GL_NO_ERROR)
        return report(msg::gl_problem);
    return true;
}
