// Aurora: curtains of green and violet light folding slowly over a night sky,
// with a faint band of stars. Low to medium cost: five layers of a few sines each.
//
// Uses iResolution and iTime.

float hash12(vec2 p)
{
    vec3 q = fract(vec3(p.xyx) * 0.1031);
    q += dot(q, q.yzx + 33.33);
    return fract((q.x + q.y) * q.z);
}

// One curtain: a bright lower edge that waves sideways, fading upwards.
float curtain(vec2 p, float offset, float t)
{
    float edge = 0.55 + offset
        + 0.08 * sin(p.x * 2.1 + t * 0.9 + offset * 7.0)
        + 0.04 * sin(p.x * 5.3 - t * 1.3 + offset * 3.0)
        + 0.02 * sin(p.x * 11.0 + t * 2.1);
    float d = p.y - edge;
    // Sharp below the edge, long soft glow above it.
    float glow = d < 0.0 ? exp(d * 40.0) : exp(-d * 4.5);
    // Vertical rays that drift along the curtain.
    float rays = 0.6 + 0.4 * sin(p.x * 40.0 + sin(p.x * 3.0 + t) * 6.0);
    return glow * rays;
}

void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 uv = fragCoord / iResolution.xy;
    vec2 p = vec2(uv.x * iResolution.x / iResolution.y, uv.y);
    float t = iTime * 0.3;

    vec3 col = mix(vec3(0.01, 0.02, 0.05), vec3(0.02, 0.05, 0.10), uv.y);

    // Sparse stars, dimmed where the aurora is bright.
    vec2 cell = floor(fragCoord / 3.0);
    float star = step(0.9975, hash12(cell));
    col += vec3(star) * 0.7 * smoothstep(0.3, 0.9, uv.y);

    for (float i = 0.0; i < 5.0; i += 1.0) {
        float c = curtain(p, i * 0.06 - 0.1, t + i * 1.7);
        vec3 tint = mix(vec3(0.10, 0.85, 0.45), vec3(0.55, 0.25, 0.85), i / 4.0);
        col += tint * c * (0.28 - i * 0.035);
    }

    // A dark ridge of hills keeps the lower edge calm for desktop icons and bars.
    float ridge = 0.12 + 0.03 * sin(p.x * 3.0) + 0.015 * sin(p.x * 9.0 + 1.0);
    col = mix(col, vec3(0.005, 0.01, 0.02), smoothstep(ridge + 0.004, ridge, uv.y));

    fragColor = vec4(col, 1.0);
}
