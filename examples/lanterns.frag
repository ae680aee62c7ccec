// Lanterns: warm paper lanterns rising slowly through a dusky sky.
//
// Each frame blends a few instants spread over the time since the previous
// frame (iTimeDelta), so motion stays smooth when frames are far apart, as
// with --fps 10 on a laptop. The heaviest example here; lanterns far from a
// pixel are skipped early.
//
// Uses iResolution, iTime and iTimeDelta.

float hash11(float x)
{
    return fract(sin(x * 127.1) * 43758.5453);
}

// Sixteen glowing discs on looping paths, each seen at three instants spread
// over `span` seconds before `t`; their mean is the motion-blurred frame.
vec3 lanterns(vec2 p, float aspect, float t, float span)
{
    vec3 col = vec3(0.0);
    for (float i = 0.0; i < 16.0; i += 1.0) {
        // What does not change between the instants is worked out once.
        float speed = 0.025 + 0.03 * hash11(i + 1.0);
        float depth = 0.4 + 0.6 * hash11(i + 2.0);  // far lanterns are small and dim
        float start = hash11(i + 3.0);
        float x = hash11(i + 4.0) * aspect;
        float radius = 0.03 * depth;
        vec3 tint = vec3(1.0, 0.55, 0.20) * depth;
        for (float k = 0.0; k < 3.0; k += 1.0) {
            float s = t - span * k / 3.0;
            vec2 centre = vec2(x + 0.05 * sin(s * 0.4 + i), fract(start + s * speed) * 1.3 - 0.15);
            float d = length((p - centre) * vec2(1.0, 0.8));
            // Past ten radii the glow is below one step of an 8-bit channel,
            // and skipping it spares most pixels the costly part.
            if (d < radius * 10.0) {
                float flicker = 0.85 + 0.15 * sin(s * 7.0 + i * 3.0);
                col += tint * flicker * (smoothstep(radius, radius * 0.6, d) + 0.35 * exp(-d / radius * 0.8));
            }
        }
    }
    return col / 3.0;
}

void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 uv = fragCoord / iResolution.xy;
    float aspect = iResolution.x / iResolution.y;
    vec2 p = vec2(uv.x * aspect, uv.y);

    vec3 sky = mix(vec3(0.22, 0.09, 0.12), vec3(0.02, 0.02, 0.08), sqrt(uv.y));

    // A long pause (a suspended laptop) must not smear the whole frame.
    float span = clamp(iTimeDelta, 0.0, 0.25);
    fragColor = vec4(sky + lanterns(p, aspect, iTime, span), 1.0);
}
