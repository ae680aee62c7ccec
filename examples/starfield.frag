// Starfield: three layers of stars drifting sideways at different speeds,
// twinkling gently, over a faint nebula. Low to medium cost.
//
// Uses iResolution and iTime.

float hash12(vec2 p)
{
    vec3 q = fract(vec3(p.xyx) * 0.1031);
    q += dot(q, q.yzx + 33.33);
    return fract((q.x + q.y) * q.z);
}

vec2 hash22(vec2 p)
{
    vec3 q = fract(vec3(p.xyx) * vec3(0.1031, 0.1030, 0.0973));
    q += dot(q, q.yzx + 33.33);
    return fract((q.xx + q.yz) * q.zy);
}

// Value noise, smooth enough for the nebula.
float noise(vec2 p)
{
    vec2 i = floor(p);
    vec2 f = fract(p);
    f = f * f * (3.0 - 2.0 * f);
    return mix(mix(hash12(i), hash12(i + vec2(1.0, 0.0)), f.x),
               mix(hash12(i + vec2(0.0, 1.0)), hash12(i + vec2(1.0, 1.0)), f.x), f.y);
}

// At most one star per grid cell, placed and sized by the cell's hash.
float star_layer(vec2 p, float density, float t)
{
    vec2 cell = floor(p);
    vec2 local = fract(p) - 0.5;
    float present = step(1.0 - density, hash12(cell + 11.0));
    vec2 offset = (hash22(cell) - 0.5) * 0.7;
    float size = 0.02 + 0.05 * hash12(cell + 3.0);
    float twinkle = 0.65 + 0.35 * sin(t * (1.0 + 2.0 * hash12(cell + 7.0)) + 6.28 * hash12(cell));
    float d = length(local - offset);
    return present * twinkle * (smoothstep(size, 0.0, d) + 0.15 * smoothstep(size * 6.0, 0.0, d));
}

void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 p = fragCoord / iResolution.y;
    float t = iTime;

    float n = noise(p * 2.0 + vec2(t * 0.01, 0.0)) * 0.6 + noise(p * 5.0 - vec2(t * 0.015, 0.0)) * 0.4;
    vec3 col = vec3(0.01, 0.01, 0.03);
    col += mix(vec3(0.10, 0.02, 0.12), vec3(0.02, 0.08, 0.14), p.y) * smoothstep(0.35, 0.9, n);

    col += vec3(0.55, 0.60, 0.75) * star_layer(p * 40.0 + vec2(t * 0.25, 0.0), 0.25, t);
    col += vec3(0.80, 0.80, 0.90) * star_layer(p * 22.0 + vec2(t * 0.40, 3.0), 0.18, t);
    col += vec3(1.00, 0.92, 0.80) * star_layer(p * 12.0 + vec2(t * 0.60, 7.0), 0.10, t);

    fragColor = vec4(col, 1.0);
}
