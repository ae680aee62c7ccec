// wave.frag as Shadertoy's dialect allows it: a const initialised from a
// call, which GLSL 1.10 refuses, so the program builds it only after its
// first compile has failed. Per pixel it does the same work.
const float six = 3.0 * sqrt(4.0);

void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 uv = fragCoord / iResolution.xy;
    float t = iTime;
    float bands = sin(uv.x * six + t) * 0.5 + 0.5;
    float wave = sin((uv.y + 0.25 * sin(uv.x * 3.0 + t * 0.7)) * 9.0 - t * 1.3);
    vec3 base = 0.5 + 0.5 * cos(t * 0.4 + uv.xyx * 2.0 + vec3(0.0, 2.0, 4.0));
    fragColor = vec4(base * (0.75 + 0.25 * bands) + 0.08 * wave, 1.0);
}
