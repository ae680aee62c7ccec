// Tide: a calm sea under a low sun, with swells rolling towards the viewer
// and a shimmering path of light. Low cost; the motion is slow on purpose,
// so it suits a laptop at --fps 15.
//
// Uses iResolution and iTime.

void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 uv = fragCoord / iResolution.xy;
    float aspect = iResolution.x / iResolution.y;
    float x = (uv.x - 0.5) * aspect;
    float horizon = 0.42;
    float t = iTime;

    // Sky: warm near the horizon, deep blue above, with a soft sun disc.
    vec3 col = mix(vec3(0.98, 0.62, 0.38), vec3(0.16, 0.20, 0.42), pow(max(uv.y - horizon, 0.0) / (1.0 - horizon), 0.55));
    // The sun sits a little left of centre, just above the horizon.
    vec2 sun = vec2(-0.3, horizon + 0.09);
    float ds = length(vec2(x, uv.y) - sun);
    col += vec3(1.0, 0.80, 0.55) * (smoothstep(0.055, 0.05, ds) * 0.6 + exp(-ds * 7.0) * 0.25);

    if (uv.y < horizon) {
        // Depth below the horizon: 0 far away, 1 at the bottom edge.
        float depth = (horizon - uv.y) / horizon;
        float z = 1.0 / (depth + 0.04);
        float swell = sin(z * 2.0 - t * 0.8 + x * 1.5 * depth)
                    + 0.5 * sin(z * 3.7 - t * 1.1 - x * 2.3 * depth);
        vec3 deep = vec3(0.05, 0.10, 0.20);
        vec3 near = vec3(0.10, 0.22, 0.32);
        col = mix(deep, near, depth);
        col += vec3(0.10, 0.09, 0.10) * swell * depth * 0.35;

        // The sun's reflection: a column that breaks up on the swells.
        float lane = exp(-abs(x - sun.x) * (3.0 + 8.0 * (1.0 - depth)));
        float glint = smoothstep(0.6, 1.4, swell + 0.6 * sin(z * 9.0 - t * 2.0 + x * 20.0));
        col += vec3(1.0, 0.70, 0.45) * lane * (0.15 + 0.6 * glint) * (1.0 - depth * 0.5);

        // Haze where the sea meets the sky hides the horizon's hard edge.
        col = mix(col, vec3(0.85, 0.55, 0.40), exp(-depth * 25.0) * 0.6);
    }

    fragColor = vec4(col, 1.0);
}
