// Plasma: a slow interference of four sine fields, mapped through a cosine
// palette. Cheap enough for any machine; the colours cycle over about a minute.
//
// Uses iResolution and iTime.

vec3 palette(float x)
{
    // Phase-shifted cosines: a smooth loop through deep blue, teal and rose
    // that never reaches a saturated primary.
    return vec3(0.32, 0.30, 0.42) + vec3(0.30, 0.26, 0.30) * cos(6.28318 * (x + vec3(0.00, 0.12, 0.22)));
}

void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    // Scale by height so the pattern keeps its shape on any aspect ratio.
    vec2 p = (2.0 * fragCoord - iResolution.xy) / iResolution.y;
    float t = iTime * 0.25;

    float v = sin(p.x * 3.0 + t);
    v += sin((p.y * 2.0 + t) * 1.3);
    v += sin(length(p * 2.5 + vec2(sin(t * 0.7), cos(t * 0.5))) * 3.0 - t);
    v += sin((p.x + p.y) * 2.2 - t * 1.6);

    vec3 col = palette(v * 0.125 + iTime * 0.015);
    // Keep it dim enough to sit behind windows.
    col *= 0.75;
    fragColor = vec4(col, 1.0);
}
