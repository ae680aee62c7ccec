// Cells: a slowly shifting mosaic of soft cells, like light through frosted
// glass. Medium cost: nine neighbour cells are visited per pixel.
//
// Uses iResolution and iTime.

vec2 hash22(vec2 p)
{
    vec3 q = fract(vec3(p.xyx) * vec3(0.1031, 0.1030, 0.0973));
    q += dot(q, q.yzx + 33.33);
    return fract((q.xx + q.yz) * q.zy);
}

void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 p = fragCoord / iResolution.y * 5.0;
    float t = iTime * 0.2;

    vec2 cell = floor(p);
    vec2 local = fract(p);
    float nearest = 8.0;
    float second = 8.0;
    vec2 owner = vec2(0.0);

    for (float j = -1.0; j <= 1.0; j += 1.0) {
        for (float i = -1.0; i <= 1.0; i += 1.0) {
            vec2 neighbour = vec2(i, j);
            vec2 h = hash22(cell + neighbour);
            // Each seed circles its own centre at its own pace.
            vec2 seed = neighbour + 0.5 + 0.4 * sin(t + 6.2831 * h);
            float d = length(seed - local);
            if (d < nearest) {
                second = nearest;
                nearest = d;
                owner = cell + neighbour;
            } else if (d < second) {
                second = d;
            }
        }
    }

    // Hue from the owning cell, drifting slowly through cool colours.
    float hue = hash22(owner).x + iTime * 0.01;
    vec3 tint = 0.5 + 0.5 * cos(6.2831 * (hue * 0.35 + vec3(0.55, 0.65, 0.80)));
    vec3 col = tint * (0.22 + 0.25 * (1.0 - nearest));

    // Thin bright seams where two cells meet.
    float seam = smoothstep(0.06, 0.0, second - nearest);
    col += vec3(0.35, 0.45, 0.55) * seam * 0.5;

    // Darker towards the corners so icons and bars stay readable.
    vec2 uv = fragCoord / iResolution.xy - 0.5;
    col *= 1.0 - 0.6 * dot(uv, uv);

    fragColor = vec4(col, 1.0);
}
