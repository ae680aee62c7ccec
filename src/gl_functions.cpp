#include "gl_functions.hpp"

#include <EGL/egl.h>

namespace gl_entry {

PFNGLCREATESHADERPROC glCreateShader;
PFNGLCOMPILESHADERPROC glCompileShader;
PFNGLSHADERSOURCEPROC glShaderSource;
PFNGLGETSHADERINFOLOGPROC glGetShaderInfoLog;
PFNGLLINKPROGRAMPROC glLinkProgram;
PFNGLGETSHADERIVPROC glGetShaderiv;
PFNGLCREATEPROGRAMPROC glCreateProgram;
PFNGLATTACHSHADERPROC glAttachShader;
PFNGLGETPROGRAMIVPROC glGetProgramiv;
PFNGLGETPROGRAMINFOLOGPROC glGetProgramInfoLog;
PFNGLBINDATTRIBLOCATIONPROC glBindAttribLocation;
PFNGLGETUNIFORMLOCATIONPROC glGetUniformLocation;
PFNGLUSEPROGRAMPROC glUseProgram;
PFNGLGENVERTEXARRAYSPROC glGenVertexArrays;
PFNGLBINDVERTEXARRAYPROC glBindVertexArray;
PFNGLVERTEXATTRIBPOINTERPROC glVertexAttribPointer;
PFNGLGENBUFFERSPROC glGenBuffers;
PFNGLBINDBUFFERPROC glBindBuffer;
PFNGLBUFFERDATAPROC glBufferData;
PFNGLUNIFORM1FPROC glUniform1f;
PFNGLUNIFORM1IPROC glUniform1i;
PFNGLUNIFORM3FPROC glUniform3f;
PFNGLUNIFORM4FPROC glUniform4f;
PFNGLDELETESHADERPROC glDeleteShader;
PFNGLENABLEVERTEXATTRIBARRAYPROC glEnableVertexAttribArray;

} // namespace gl_entry

namespace {

template <typename Fn>
void resolve(Fn *&pointer, const char *name, const char **missing)
{
    pointer = reinterpret_cast<Fn *>(eglGetProcAddress(name));
    if (!pointer && !*missing)
        *missing = name;
}

} // namespace

const char *load_gl_functions()
{
    using namespace gl_entry;
    const char *missing = nullptr;
#define LOAD(fn) resolve(fn, #fn, &missing)
    LOAD(glCreateShader);
    LOAD(glCompileShader);
    LOAD(glShaderSource);
    LOAD(glGetShaderInfoLog);
    LOAD(glLinkProgram);
    LOAD(glGetShaderiv);
    LOAD(glCreateProgram);
    LOAD(glAttachShader);
    LOAD(glGetProgramiv);
    LOAD(glGetProgramInfoLog);
    LOAD(glBindAttribLocation);
    LOAD(glGetUniformLocation);
    LOAD(glUseProgram);
    LOAD(glGenVertexArrays);
    LOAD(glBindVertexArray);
    LOAD(glVertexAttribPointer);
    LOAD(glGenBuffers);
    LOAD(glBindBuffer);
    LOAD(glBufferData);
    LOAD(glUniform1f);
    LOAD(glUniform1i);
    LOAD(glUniform3f);
    LOAD(glUniform4f);
    LOAD(glDeleteShader);
    LOAD(glEnableVertexAttribArray);
#undef LOAD
    return missing;
}
