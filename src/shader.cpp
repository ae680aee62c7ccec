#include "shader.hpp"

#include "gl_functions.hpp"
#include "messages.hpp"
#include "state.hpp"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace gl_entry;

namespace {

constexpr const char vertex_shader_source[] = "attribute vec2 pos;\n"
                                              "void main() {\n"
                                              "  gl_Position = vec4(pos.x, pos.y, 0, 1);\n"
                                              "}\n";

// One triangle whose inside covers the whole clip square: its long edge
// passes through (1, -1).
// clang-format off
constexpr GLfloat triangle_vertices[] = {
    -1.0f, -3.0f,
    -1.0f, 1.0f,
    3.0f, 1.0f,
};
// clang-format on

enum class read_result { ok, unreadable, too_large, no_memory };

// Reads the whole shader file into a malloc'd buffer. Sizes from 2^31 on do
// not fit the length the GL takes, so they are refused before allocating.
read_result read_shader_file(const char *path, char **data, GLint *size)
{
    FILE *file = fopen(path, "rb");
    if (!file)
        return read_result::unreadable;
    // A directory opens fine on Linux but has no text to read.
    struct stat info;
    if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        fclose(file);
        return read_result::unreadable;
    }
    long length = -1;
    if (fseek(file, 0, SEEK_END) == 0)
        length = ftell(file);
    if (length > INT_MAX) {
        fclose(file);
        return read_result::too_large;
    }
    // A pipe cannot be measured, so it has no size to allocate.
    if (length < 0 || fseek(file, 0, SEEK_SET) != 0) {
        fclose(file);
        return read_result::no_memory;
    }
    *data = static_cast<char *>(malloc(length > 0 ? size_t(length) : 1));
    if (!*data) {
        fclose(file);
        return read_result::no_memory;
    }
    size_t got = fread(*data, 1, size_t(length), file);
    fclose(file);
    if (got != size_t(length)) {
        free(*data);
        return read_result::unreadable;
    }
    *size = GLint(length);
    return read_result::ok;
}

bool compiled(GLuint shader, const char *failure)
{
    GLint status = 0;
    glCompileShader(shader);
    glGetShaderiv(shader, GL_COMPILE_STATUS, &status);
    if (status != 0)
        return true;
    char log[1024];
    memset(log, 0, sizeof log);
    GLsizei length = 0;
    glGetShaderInfoLog(shader, 1024, &length, log);
    fprintf(stderr, failure, int(length), log);
    return false;
}

} // namespace

bool load_shaders(app_state *state)
{
    char *text = nullptr;
    GLint text_size = 0;
    switch (read_shader_file(state->shader_path, &text, &text_size)) {
    case read_result::ok:
        break;
    case read_result::unreadable:
        fprintf(stderr, msg::shader_read_failed, state->shader_path);
        return false;
    case read_result::too_large:
        fprintf(stderr, msg::shader_too_large, state->shader_path);
        return false;
    case read_result::no_memory:
        fputs(msg::shader_alloc_failed, stderr);
        return false;
    }

    // The file goes in unchanged, between the fixed prefix and suffix.
    GLuint fragment = glCreateShader(GL_FRAGMENT_SHADER);
    const GLchar *pieces[] = {shader_prefix.data(), text, shader_suffix.data()};
    const GLint lengths[] = {GLint(shader_prefix.size()), text_size, GLint(shader_suffix.size())};
    glShaderSource(fragment, 3, pieces, lengths);
    free(text);
    if (!compiled(fragment, msg::fragment_compile_failed))
        return false;

    GLuint vertex = glCreateShader(GL_VERTEX_SHADER);
    const GLchar *vertex_source = vertex_shader_source;
    glShaderSource(vertex, 1, &vertex_source, nullptr);
    if (!compiled(vertex, msg::vertex_compile_failed))
        return false;

    state->program = glCreateProgram();
    glAttachShader(state->program, fragment);
    glAttachShader(state->program, vertex);
    state->pos_attrib = 0;
    glBindAttribLocation(state->program, state->pos_attrib, "pos");
    glLinkProgram(state->program);
    GLint linked = 0;
    glGetProgramiv(state->program, GL_LINK_STATUS, &linked);
    if (linked == 0) {
        char log[1024];
        memset(log, 0, sizeof log);
        GLsizei length = 0;
        glGetProgramInfoLog(state->program, 1000, &length, log);
        fprintf(stderr, msg::link_failed, int(length), log);
        exit(1);
    }
    glDeleteShader(fragment);
    glDeleteShader(vertex);

    state->loc_resolution = glGetUniformLocation(state->program, "iResolution");
    state->loc_time = glGetUniformLocation(state->program, "iTime");
    state->loc_time_delta = glGetUniformLocation(state->program, "iTimeDelta");
    state->loc_frame = glGetUniformLocation(state->program, "iFrame");
    state->loc_mouse = glGetUniformLocation(state->program, "iMouse");

    glGenVertexArrays(1, &state->vao);
    glBindVertexArray(state->vao);
    // The attribute's format and buffer are given at every draw.
    glEnableVertexAttribArray(state->pos_attrib);
    glGenBuffers(1, &state->vbo);
    glBindBuffer(GL_ARRAY_BUFFER, state->vbo);
    glBufferData(GL_ARRAY_BUFFER, sizeof triangle_vertices, triangle_vertices, GL_STATIC_DRAW);

    return check_gl_errors("loading shaders");
}

bool check_gl_errors(const char *label)
{
    GLenum error = glGetError();
    if (error == GL_NO_ERROR)
        return true;
    // One report per pending error, all on one line, as the GL hands them out.
    do {
        fprintf(stderr, msg::gl_error, label, unsigned(error));
        error = glGetError();
    } while (error != GL_NO_ERROR);
    return false;
}

void draw_output(output_state *output)
{
    app_state *state = output->state;
    if (eglMakeCurrent(state->egl_display, output->egl_surface, output->egl_surface,
                       state->egl_context) == EGL_FALSE)
        fail(msg::make_current_failed);

    auto width = int32_t(output->buffer.width);
    auto height = int32_t(output->buffer.height);
    glViewport(0, 0, width, height);
    glClear(GL_COLOR_BUFFER_BIT);

    // Every draw sets all the state it needs: outputs share the one context.
    glBindVertexArray(state->vao);
    glBindBuffer(GL_ARRAY_BUFFER, state->vbo);
    glUseProgram(state->program);
    glVertexAttribPointer(state->pos_attrib, 2, GL_FLOAT, GL_FALSE, 0, nullptr);

    glUniform1f(state->loc_time, state->time);
    glUniform1f(state->loc_time_delta, state->time_delta);
    glUniform3f(state->loc_resolution, float(width), float(height), 0.0f);
    glUniform1f(state->loc_frame, float(state->frame));
    glUniform4f(state->loc_mouse, 0.0f, 0.0f, 0.0f, 0.0f);

    glDrawArrays(GL_TRIANGLE_FAN, 0, 3);

    if (!check_gl_errors("drawing"))
        exit(1);
}
