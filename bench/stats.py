"""Small statistics helpers: the standard library has no percentile."""

import math
import statistics


def percentile(values, p):
    """Linear interpolation between closest ranks, p in [0, 100]."""
    if not values:
        return math.nan
    s = sorted(values)
    k = (len(s) - 1) * p / 100.0
    lo = math.floor(k)
    hi = math.ceil(k)
    return s[lo] + (s[hi] - s[lo]) * (k - lo)


def describe(values):
    """Mean, p50, p95, p99, max and standard deviation of one sample."""
    if not values:
        return {k: math.nan for k in ("n", "mean", "p50", "p95", "p99", "max", "std")}
    return {
        "n": len(values),
        "mean": statistics.fmean(values),
        "p50": percentile(values, 50),
        "p95": percentile(values, 95),
        "p99": percentile(values, 99),
        "max": max(values),
        "std": statistics.pstdev(values) if len(values) > 1 else 0.0,
    }


def clean(values):
    return [v for v in values if v is not None and not (isinstance(v, float) and math.isnan(v))]


def median(values):
    values = clean(values)
    return statistics.median(values) if values else math.nan


def spread(values):
    """Median with the smallest and largest repetition: (median, lo, hi)."""
    values = clean(values)
    if not values:
        return (math.nan, math.nan, math.nan)
    return (statistics.median(values), min(values), max(values))
