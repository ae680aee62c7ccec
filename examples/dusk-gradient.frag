// Dusk gradient: two slowly drifting colour fields over a dark sky.
// One of the two cheapest examples here (two exponentials and a hash per
// pixel), meant for laptops; pair it with a low --fps such as 10.
//
// Uses iResolution, iTime and iFrame (for dither that changes every frame,
// which hides the banding a smooth gradient shows on 8-bit outputs).

float hash12(vec2 p)
{
    vec3 q = fract(vec3(p.xyx) * 0.1031);
    q += dot(q, q.yzx + 33.33);
    return fract((q.x + q.y) * q.z);
}

void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 uv = fragCoord / iResolution.xy;
    float aspect = iResolution.x / iResolution.y;
    vec2 p = vec2(uv.x * aspect, uv.y);

    // Two soft light sources that wander on slow, incommensurate orbits.
    float t = iTime * 0.05;
    vec2 a = vec2(0.30 * aspect + 0.20 * sin(t * 1.3), 0.35 + 0.15 * cos(t * 0.9));
    vec2 b = vec2(0.75 * aspect + 0.18 * cos(t * 1.1), 0.70 + 0.12 * sin(t * 1.7));

    vec3 sky = mix(vec3(0.05, 0.04, 0.12), vec3(0.14, 0.08, 0.22), uv.y);
    vec3 warm = vec3(0.95, 0.45, 0.30);
    vec3 cool = vec3(0.25, 0.40, 0.85);

    float wa = exp(-3.0 * dot(p - a, p - a));
    float wb = exp(-4.0 * dot(p - b, p - b));
    vec3 col = sky + warm * wa * 0.55 + cool * wb * 0.50;

    // Less than one step of an 8-bit channel, new every frame.
    float n = hash12(fragCoord + mod(iFrame, 64.0) * vec2(17.0, 29.0));
    col += (n - 0.5) / 255.0;

    fragColor = vec4(col, 1.0);
}
