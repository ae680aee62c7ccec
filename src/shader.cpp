#include "shader.hpp"

#include "gl_functions.hpp"
#include "messages.hpp"
#include "state.hpp"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace gl_entry;

namespace {

// One triangle whose inside covers the whole clip square: its long edge
// passes through (1, -1).
// clang-format off
constexpr GLfloat triangle_vertices[] = {
    -1.0f, -3.0f,
    -1.0f, 1.0f,
    3.0f, 1.0f,
};
// clang-format on

// Many editors begin a UTF-8 file with it, and a compiler takes it for text.
constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

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

GLuint compile(GLenum type, std::initializer_list<std::string_view> pieces)
{
    std::vector<const GLchar *> texts;
    std::vector<GLint> lengths;
    for (std::string_view piece : pieces) {
        // An empty view may have no text at all, which the GL does not take.
        if (piece.empty())
            continue;
        texts.push_back(piece.data());
        lengths.push_back(GLint(piece.size()));
    }
    GLuint shader = glCreateShader(type);
    glShaderSource(shader, GLsizei(texts.size()), texts.data(), lengths.data());
    glCompileShader(shader);
    return shader;
}

// The log of a shader that failed to compile or a program that failed to
// link, as its status says; nothing when it did not fail. The two kinds of
// object have calls of the same shape.
std::optional<std::string> failure_log(GLuint object, PFNGLGETSHADERIVPROC get_status,
                                       GLenum status_name, PFNGLGETSHADERINFOLOGPROC get_log,
                                       GLsizei room)
{
    GLint status = 0;
    get_status(object, status_name, &status);
    if (status != 0)
        return std::nullopt;
    char log[1024];
    memset(log, 0, sizeof log);
    GLsizei length = 0;
    get_log(object, room, &length, log);
    return std::string(log, size_t(length));
}

std::optional<std::string> compile_log(GLuint shader)
{
    return failure_log(shader, glGetShaderiv, GL_COMPILE_STATUS, glGetShaderInfoLog, 1024);
}

std::optional<std::string> link_log(GLuint program)
{
    return failure_log(program, glGetProgramiv, GL_LINK_STATUS, glGetProgramInfoLog, 1000);
}

struct refusal {
    const char *line;
    std::string log;
};

void report(const std::vector<refusal> &refusals)
{
    for (const refusal &r : refusals)
        fprintf(stderr, r.line, int(r.log.size()), r.log.data());
}

void set_up_inputs(app_state *state, const shader_dialect &dialect)
{
    state->dialect = &dialect;
    for (size_t i = 0; i < dialect.inputs.size(); i++)
        state->input_locations[i] = glGetUniformLocation(state->program, dialect.inputs[i].name);
    glUseProgram(state->program);
    for (const shader_constant &constant : dialect.constants)
        glUniform1f(glGetUniformLocation(state->program, constant.name), constant.value);
}

// Tries each dialect in turn. One whose fragment shader compiles owns the
// shader: its link failure is final. When none compiles, every dialect's log
// is reported, the first dialect's first.
bool build_program(app_state *state, std::string_view source)
{
    std::vector<refusal> refusals;
    for (const shader_dialect &dialect : shader_dialects) {
        if (!dialect.available())
            continue;
        GLuint fragment =
            compile(GL_FRAGMENT_SHADER, {dialect.defines, dialect.prefix, source, dialect.suffix});
        if (std::optional<std::string> log = compile_log(fragment)) {
            refusals.push_back({dialect.compile_failed, std::move(*log)});
            glDeleteShader(fragment);
            continue;
        }

        GLuint vertex = compile(GL_VERTEX_SHADER, {dialect.vertex_source});
        if (std::optional<std::string> log = compile_log(vertex)) {
            report({{msg::vertex_compile_failed, std::move(*log)}});
            return false;
        }

        state->program = glCreateProgram();
        glAttachShader(state->program, fragment);
        glAttachShader(state->program, vertex);
        state->pos_attrib = 0;
        glBindAttribLocation(state->program, state->pos_attrib, "pos");
        glLinkProgram(state->program);
        if (std::optional<std::string> log = link_log(state->program)) {
            refusals.push_back({dialect.link_failed, std::move(*log)});
            report(refusals);
            exit(1);
        }
        glDeleteShader(fragment);
        glDeleteShader(vertex);
        set_up_inputs(state, dialect);
        return true;
    }
    report(refusals);
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

    std::string_view source(text, size_t(text_size));
    if (source.starts_with(byte_order_mark))
        source.remove_prefix(byte_order_mark.size());
    bool built = build_program(state, source);
    free(text);
    if (!built)
        return false;

    glGenVertexArrays(1, &state->vao);
    glBindVertexArray(state->vao);
    // The attribute's format and buffer are given at every draw.
    glEnableVertexAttribArray(state->pos_attrib);
    glGenBuffers(1, &state->vbo);
    glBindBuffer(GL_ARRAY_BUFFER, state->vbo);
    glBufferData(GL_ARRAY_BUFFER, sizeof triangle_vertices, triangle_vertices, GL_STATIC_DRAW);

    // The first frames come before the loop's first tick: they show the date
    // of start-up.
    clock_gettime(CLOCK_REALTIME, &state->wall_clock);

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

    const draw_target target = {state, float(width), float(height)};
    const std::span<const shader_input> inputs = state->dialect->inputs;
    for (size_t i = 0; i < inputs.size(); i++) {
        if (state->input_locations[i] != -1)
            inputs[i].upload(state->input_locations[i], target);
    }

    glDrawArrays(GL_TRIANGLE_FAN, 0, 3);

    if (!check_gl_errors("drawing"))
        exit(1);
}
