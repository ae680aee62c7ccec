// The two records that hold the whole program state: one app_state per run,
// one output_state per bound wl_output.
#pragma once

#include <EGL/egl.h>
#include <GL/gl.h>
#include <wayland-client.h>
#include <wayland-egl.h>

#include "dialects.hpp"
#include "scale.hpp"
#include "size_limit.hpp"

#include <cstdint>
#include <ctime>
#include <limits>
#include <string_view>

struct zwlr_layer_shell_v1;
struct zwlr_layer_surface_v1;
struct wp_viewporter;
struct wp_viewport;
struct wp_fractional_scale_manager_v1;
struct wp_fractional_scale_v1;

// Wraps every user shader: the uniforms it may read, then a main() that calls
// its mainImage. Both are shown verbatim by --help.
inline constexpr std::string_view shader_prefix =
    "uniform vec3 iResolution; uniform float iTime; uniform float iTimeDelta; "
    "uniform float iFrame; uniform vec4 iMouse;\n";
inline constexpr std::string_view shader_suffix =
    "void main() {\n    mainImage(gl_FragColor, gl_FragCoord.xy);\n}\n";

struct app_state {
    float fps = std::numeric_limits<float>::infinity();
    float speed = 1.0f;
    int32_t layer = 0;
    const char *output_name = nullptr;
    const char *shader_path = nullptr;

    wl_display *display = nullptr;
    wl_registry *registry = nullptr;

    EGLDisplay egl_display = nullptr;
    EGLConfig egl_config = nullptr;
    EGLContext egl_context = nullptr;
    size_limit max_size{};

    wl_compositor *compositor = nullptr;
    uint32_t compositor_version = 0;
    zwlr_layer_shell_v1 *layer_shell = nullptr;
    wp_viewporter *viewporter = nullptr;
    wp_fractional_scale_manager_v1 *fractional_scale_manager = nullptr;

    float time = 0.0f;
    float time_delta = 0.0f;
    uint64_t frame = 0;

    // Ticks per second, smoothed from a common display rate on; and the wall
    // clock at the tick, for the date.
    float frame_rate = 60.0f;
    timespec wall_clock{};

    // The dialect that took the shader, and where the linked program keeps
    // each of that dialect's inputs (-1 for one it does not use).
    const shader_dialect *dialect = nullptr;
    GLint input_locations[max_shader_inputs]{};
    GLuint program = 0;
    GLuint pos_attrib = 0;
    GLuint vbo = 0;
    GLuint vao = 0;

    wl_list outputs{};
};

struct output_state {
    wl_list link{};
    app_state *state = nullptr;
    uint32_t global_name = 0;
    struct wl_output *wl_output = nullptr;
    char *name = nullptr;

    wl_surface *surface = nullptr;
    zwlr_layer_surface_v1 *layer_surface = nullptr;
    wl_egl_window *egl_window = nullptr;
    EGLSurface egl_surface = nullptr;
    wl_callback *frame_callback = nullptr;
    wp_viewport *viewport = nullptr;
    wp_fractional_scale_v1 *fractional_scale = nullptr;

    // The configured size, in surface units.
    uint32_t width = 0;
    uint32_t height = 0;
    scale_hints scale{};
    // What the shader draws, in pixels, and the buffer scale the surface was
    // last given.
    buffer_size buffer{};
    int32_t surface_scale = 1;
    uint8_t needs_ack = 0;
    uint8_t needs_resize = 0;
    uint32_t configure_serial = 0;
};

// Drawn by the event loop: it has a window and its last frame is done.
inline bool output_ready(const output_state *output)
{
    return output->egl_window && !output->frame_callback;
}
