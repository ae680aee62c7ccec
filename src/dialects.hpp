// The dialects a user's shader is compiled in, in the order they are tried:
// the program's own GLSL 1.10 wrapping, then Shadertoy's GLSL ES 3.00. Each is
// data: the texts around the file, the vertex shader it links with, the lines
// that report its refusal, and the inputs it declares with how each is set.
#pragma once

#include <GL/gl.h>

#include <cstddef>
#include <span>
#include <string_view>

struct app_state;

// What an input's upload reads: the shader clock and the drawn size in pixels.
struct draw_target {
    const app_state *state;
    float width;
    float height;
};

// A uniform set before every draw, when the linked program uses it.
struct shader_input {
    const char *name;
    void (*upload)(GLint location, const draw_target &target);
};

// A uniform whose value never changes, set once after linking.
struct shader_constant {
    const char *name;
    float value;
};

struct shader_dialect {
    // Whether the current context compiles it; asked only when it is tried.
    bool (*available)();
    // Placed before the prefix without counting as lines of it.
    std::string_view defines;
    std::string_view prefix;
    std::string_view suffix;
    const char *vertex_source;
    // How its log is reported when no dialect takes the shader: after its
    // fragment shader failed to compile, or after its program failed to link.
    const char *compile_failed;
    const char *link_failed;
    std::span<const shader_input> inputs;
    std::span<const shader_constant> constants;
};

inline constexpr std::size_t max_shader_inputs = 8;

extern const std::span<const shader_dialect> shader_dialects;
