"""Outputs compared with expected arrays, as numpy's testing does it:
|got - expected| <= atol + rtol * |expected|, NaN equal to NaN; integers
must be equal."""

from dataclasses import dataclass
from typing import Optional

import numpy as np

from qelmo_cli.tensor_files import Array

PASS = "pass"
MISMATCH = "MISMATCH"


@dataclass
class Comparison:
    passed: bool
    detail: str  # the figures, or what differs


def compare(got: Array, expected: Array, rtol: float, atol: float) -> Comparison:
    # qelmo returns float16 outputs as float32 arrays: compare values in float32.
    if expected.dtype == np.float16 and got.dtype == np.float32:
        expected = expected.astype(np.float32)
    if got.dtype != expected.dtype:
        return Comparison(False, f"dtype {got.dtype}, expected {expected.dtype}")
    if got.shape != expected.shape:
        return Comparison(False, f"shape {list(got.shape)}, expected {list(expected.shape)}")
    exact = not np.issubdtype(got.dtype, np.inexact)
    equal = got == expected
    if not exact:
        equal |= np.isnan(got) & np.isnan(expected)
    # Differences in float64, so that unsigned and narrow types cannot wrap.
    wide_got, wide_expected = got.astype(np.float64), expected.astype(np.float64)
    with np.errstate(invalid="ignore", over="ignore"):
        difference = np.where(equal, 0.0, np.abs(wide_got - wide_expected))
        within = equal if exact else equal | (difference <= atol + rtol * np.abs(wide_expected))
        relative = _largest_relative(difference, wide_expected)
    # NaN against a number is counted apart, so that it does not hide the
    # largest difference between numbers.
    nan_mismatches = int(np.count_nonzero(np.isnan(difference)))
    numbers = difference[~np.isnan(difference)]
    largest = float(np.max(numbers)) if numbers.size else 0.0
    figures = f"max abs diff {largest:.3g}"
    figures += " (integers, compared exactly)" if exact else f"  max rel diff {_format(relative)}"
    outside = int(difference.size - np.count_nonzero(within))
    if outside:
        figures += f"; {outside} of {difference.size} values differ beyond the tolerance"
    if nan_mismatches:
        figures += f", {nan_mismatches} of them NaN against a number"
    return Comparison(outside == 0, figures)


def _largest_relative(difference: Array, expected: Array) -> Optional[float]:
    nonzero = (expected != 0) & np.isfinite(expected) & ~np.isnan(difference)
    if not np.any(nonzero):
        return None
    return float(np.max(difference[nonzero] / np.abs(expected[nonzero])))


def _format(value: Optional[float]) -> str:
    return "-" if value is None else f"{value:.3g}"
