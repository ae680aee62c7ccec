// One colour everywhere: the shader costs next to nothing per pixel, so what
// a frame costs with it is what every frame costs whatever the shader.
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    fragColor = vec4(0.2, 0.4, 0.6, 1.0);
}
