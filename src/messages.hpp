// Every fixed line the program writes, and the helper that ends the run on one.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace msg {

// Standard output: the command line's own texts.
inline constexpr const char usage_text[] =
    "lumivane [-h|--fps F|--layer l|--speed S] output-name shader.frag\n"
    "The provided fragment shaders should follow the Shadertoy API\n";
inline constexpr const char invalid_fps[] = "Invalid fps '%s'\n";
inline constexpr const char invalid_speed[] = "Invalid speed '%s'\n";
inline constexpr const char invalid_layer[] =
    "Invalid layer '%s'; should be one of 'background', 'bottom', 'top', 'overlay'\n";

// Standard error from here on.
inline constexpr const char run_line[] =
    "Running lumivane with output = '%s' shader = '%s' fps = %f layer = %d\n";
inline constexpr const char connect_failed[] = "Failed to connect to display\n";
inline constexpr const char no_compositor[] = "Compositor does not offer wl_compositor\n";
inline constexpr const char no_layer_shell[] = "Compositor does not offer zwlr_layer_shell_v1\n";

inline constexpr const char output_alloc_failed[] = "Failed to allocate output\n";
inline constexpr const char surface_failed[] = "Failed to create surface\n";
inline constexpr const char region_failed[] = "Failed to create region\n";
inline constexpr const char layer_surface_failed[] = "Failed to create layer surface\n";
inline constexpr const char frame_callback_failed[] = "Failed to create frame callback\n";
inline constexpr const char window_surface_failed[] = "Failed to create window surface\n";
inline constexpr const char swap_interval_failed[] = "Failed to set swap interval\n";
inline constexpr const char swap_failed[] = "Failed to swap buffers\n";
inline constexpr const char frame_tracking[] = "Frame callback tracking error\n";
inline constexpr const char size_too_large[] =
    "Configured size %ux%u is larger than the renderer can draw\n";

inline constexpr const char no_egl_wayland[] = "No egl wayland\n";
inline constexpr const char get_display_failed[] = "Failed to get display\n";
inline constexpr const char init_display_failed[] = "Failed to init display\n";
inline constexpr const char bind_api_failed[] = "Failed to bind opengl api\n";
inline constexpr const char get_configs_failed[] = "Failed to get configs\n";
inline constexpr const char matching_config_failed[] = "Failed to get matching config\n";
inline constexpr const char gl_function_failed[] = "Failed to load GL function %s\n";
inline constexpr const char create_context_failed[] = "Failed to create context: %x\n";
inline constexpr const char context_current_failed[] = "Failed to make context current: %x\n";
inline constexpr const char gl_version[] = "GL version: %s\n";
inline constexpr const char gl_problem[] = "Problem with OpenGL\n";

inline constexpr const char shader_read_failed[] = "Failed to read shader file at '%s'\n";
inline constexpr const char shader_too_large[] = "Shader file at '%s' is too large\n";
inline constexpr const char shader_alloc_failed[] =
    "Failed to allocate space to read shader file\n";
inline constexpr const char fragment_compile_failed[] = "Failed to compile fragment shader: %.*s\n";
// After the line above (or the link line) when no dialect takes the shader.
inline constexpr const char es300_failed[] = "As Shadertoy's GLSL ES 3.00: %.*s\n";
inline constexpr const char vertex_compile_failed[] = "Failed to compile vertex shader: %.*s\n";
inline constexpr const char link_failed[] = "Failed to link shader:\n%.*s\n";
inline constexpr const char gl_error[] = "GL error when %s: %x";

inline constexpr const char make_current_failed[] = "Failed to make current\n";
inline constexpr const char dispatch_failed[] = "Failed to dispatch events\n";
inline constexpr const char flush_failed[] = "Failed to flush\n";
inline constexpr const char poll_failed[] = "poll failure\n";
inline constexpr const char prepare_read_failed[] = "Failed to prepare read\n";
inline constexpr const char read_failed[] = "Failed to read events\n";

} // namespace msg

// Writes a fixed line to standard error and ends the process with status 1,
// for failures found where there is no stage of main to return to.
[[noreturn]] inline void fail(const char *line)
{
    fputs(line, stderr);
    exit(1);
}
