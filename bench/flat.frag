// Colour from the pixel position alone: about as much per-pixel work as
// weston-simple-egl's interpolated triangle, so that a comparison at a small
// size shows the program's own cost per frame rather than its shader's.
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    fragColor = vec4(fragCoord / iResolution.xy, 0.5, 1.0);
}
