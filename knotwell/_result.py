"""The outcome of an ensemble: observed value, null values, and what they say.

Summaries are per component of the statistic and use the null samples whose
value is a number (a NaN, such as a mean path length on a graph without
connected pairs or phi(k) where fewer than two nodes have degree above k,
is left out of that component, never counted as a value).

- zscore: (observed - mean) / standard deviation (ddof=1); NaN with fewer than
  two null values; +-inf when the null has no spread but the observed value
  differs from it; NaN when a null value is infinite (the ensemble runner
  then warns with NonFiniteNullWarning).
- pvalue: two-sided empirical p-value with the +1 correction,
  min(1, 2 * min(1 + #(null >= observed), 1 + #(null <= observed)) / (N + 1)),
  N the number of null values; never below 2 / (N + 1); counted, so
  infinite null values keep it well defined.
- rho: observed / mean of the null (for the rich-club coefficient this is the
  normalised coefficient rho(k)).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np



def _scalar_or_array(a: np.ndarray, scalar: bool) -> float | np.ndarray:
    return float(a[0]) if scalar else a


@dataclass(frozen=True, eq=False)
class NullModelResult:
    """Observed statistic, its value on every null sample (in sample order), and summaries.

    Made by :func:`knotwell.null_model`; can also be built from values measured elsewhere.

    Parameters
    ----------
    observed : float or numpy.ndarray
        The statistic on the observed graph.
    null : numpy.ndarray
        ``[samples]`` or ``[samples, k]`` values on the null samples.
    model : str
        The null model's name.
    seed : int
        The ensemble's seed.
    statistic_name : str
        What plots and summaries call the statistic.
    target_swaps, swaps, attempts, discarded
        The model's diagnostics per sample (None where they do not apply).

    Examples
    --------
    >>> import numpy as np, knotwell
    >>> res = knotwell.NullModelResult(3.0, np.array([1.0, 2.0, 2.0, 1.0]), "gnm", 0)
    >>> res.pvalue, round(res.zscore, 3)
    (0.4, 2.598)
    """

    observed: float | np.ndarray
    null: np.ndarray
    model: str
    seed: int
    statistic_name: str = "statistic"
    target_swaps: int | None = None
    swaps: np.ndarray | None = None
    attempts: np.ndarray | None = None
    discarded: np.ndarray | None = None
    _cache: dict[str, Any] = field(default_factory=dict, init=False, repr=False, compare=False)

    @property
    def samples(self) -> int:
        return len(self.null)

    @property
    def is_scalar(self) -> bool:
        return self.null.ndim == 1

    def _columns(self) -> tuple[np.ndarray, np.ndarray]:
        null = self.null.reshape(len(self.null), -1)
        observed = np.atleast_1d(np.asarray(self.observed, dtype=np.float64))
        return observed, null

    def _summary(self) -> dict[str, np.ndarray]:
        if "summary" not in self._cache:
            observed, null = self._columns()
            k = null.shape[1]
            mean, std, zscore, pvalue = (np.full(k, np.nan) for _ in range(4))
            with np.errstate(all="ignore"):  # an infinite null value: its mean and z are NaN or inf, quietly
                self._fill(observed, null, mean, std, zscore, pvalue)
                rho = observed / mean
            self._cache["summary"] = dict(mean=mean, std=std, zscore=zscore, pvalue=pvalue, rho=rho)
        return self._cache["summary"]

    @staticmethod
    def _fill(observed: np.ndarray, null: np.ndarray, mean: np.ndarray, std: np.ndarray, zscore: np.ndarray,
              pvalue: np.ndarray) -> None:
        for j in range(len(observed)):
            column = null[:, j]
            column = column[~np.isnan(column)]
            count = len(column)
            if count == 0:
                continue
            # Scaled to the largest magnitude so that values near the ends of
            # the double range do not overflow the sums.
            scale = np.max(np.abs(column))
            scale = scale if 0 < scale < np.inf else 1.0
            scaled = column / scale
            mean[j] = scaled.mean() * scale
            if count >= 2:
                spread = scaled.std(ddof=1)
                std[j] = spread * scale
                zscore[j] = (observed[j] / scale - scaled.mean()) / spread
            if not np.isnan(observed[j]):
                # Counting needs no arithmetic: defined with infinite values too.
                above = int(np.count_nonzero(column >= observed[j]))
                below = int(np.count_nonzero(column <= observed[j]))
                pvalue[j] = min(1.0, 2 * (1 + min(above, below)) / (count + 1))

    def _get(self, name: str) -> float | np.ndarray:
        return _scalar_or_array(self._summary()[name], self.is_scalar)

    @property
    def mean(self) -> float | np.ndarray:
        """Mean of the null values, per component."""
        return self._get("mean")

    @property
    def std(self) -> float | np.ndarray:
        """Standard deviation (ddof=1) of the null values, per component."""
        return self._get("std")

    @property
    def zscore(self) -> float | np.ndarray:
        """(observed - null mean) / null standard deviation, per component."""
        return self._get("zscore")

    @property
    def pvalue(self) -> float | np.ndarray:
        """Two-sided empirical p-value with the +1 correction, per component."""
        return self._get("pvalue")

    @property
    def rho(self) -> float | np.ndarray:
        """observed / null mean, per component: the normalised rich-club rho(k) for that statistic."""
        return self._get("rho")

    def component(self, j: int) -> NullModelResult:
        """Component j of a 1-d statistic as a scalar result (for its own histogram)."""
        if self.is_scalar:
            raise ValueError("component() needs a statistic with a 1-d value")
        return NullModelResult(float(np.asarray(self.observed)[j]), self.null[:, j].copy(), self.model,
                               self.seed, f"{self.statistic_name}[{j}]", self.target_swaps, self.swaps,
                               self.attempts, self.discarded)

    def __repr__(self) -> str:
        def short(v: Any) -> str:
            return f"{v:.4g}" if self.is_scalar else f"array of {np.size(v)}"
        parts = [f"model={self.model!r}", f"samples={self.samples}", f"statistic={self.statistic_name}",
                 f"observed={short(self.observed)}", f"zscore={short(self.zscore)}",
                 f"pvalue={short(self.pvalue)}"]
        if self.swaps is not None:
            parts.append(f"swaps={int(self.swaps.min())}..{int(self.swaps.max())} of {self.target_swaps}")
        if self.discarded is not None:
            parts.append(f"discarded={int(self.discarded.min())}..{int(self.discarded.max())}")
        return f"NullModelResult({', '.join(parts)})"

    def plot(self, ax: Any = None, *, normalized: bool = False, x: Any = None,
             band: tuple[float, float] = (2.5, 97.5)) -> Any:
        """Draw the result on a matplotlib Axes (a new figure's when `ax` is None) and return it.

        A scalar statistic: histogram of the null values with the observed value
        marked. A 1-d statistic: the observed curve over `x` (default 0 .. k-1,
        which is k for the rich-club coefficient) against the null mean and the
        `band` percentiles of the null; `normalized=True` divides all three by
        the null mean (rho for the rich-club coefficient).
        """
        try:
            import matplotlib.pyplot as plt
        except ImportError as exc:
            raise ImportError("plotting needs matplotlib: pip install 'knotwell_rs[plot]'") from exc
        if ax is None:
            _, ax = plt.subplots(figsize=(6, 4))
        if self.is_scalar:
            self._plot_histogram(ax)
        else:
            self._plot_curve(ax, normalized, x, band)
        return ax

    def _plot_histogram(self, ax):
        values = self.null[~np.isnan(self.null)]
        if len(values):
            ax.hist(values, bins="auto", color="#9db4d0", edgecolor="#5b7ba3", label=f"null ({self.model})")
        ax.axvline(self.observed, color="#c0392b", linewidth=2, label=f"observed {self.observed:.4g}")
        ax.set_xlabel(self.statistic_name)
        ax.set_ylabel("samples")
        ax.set_title(f"{self.statistic_name}: z = {self.zscore:.3g}, p = {self.pvalue:.3g} "
                     f"({self.samples} samples)", fontsize=10)
        ax.legend(fontsize=8)

    def _plot_curve(self, ax, normalized, x, band):
        observed, null = self._columns()
        mean = self._summary()["mean"]
        with np.errstate(all="ignore"):
            low, high = (np.array([np.nanpercentile(c, q) if np.any(~np.isnan(c)) else np.nan for c in null.T])
                         for q in band)
            scale = mean if normalized else np.ones_like(mean)
            observed, low, high, centre = observed / scale, low / scale, high / scale, mean / scale
        x = np.arange(len(observed)) if x is None else np.asarray(x)
        ax.fill_between(x, low, high, color="#9db4d0", alpha=0.6,
                        label=f"null {band[0]:g}-{band[1]:g}% ({self.model})")
        ax.plot(x, centre, color="#5b7ba3", linestyle="--", label="null mean")
        ax.plot(x, observed, color="#c0392b", marker=".", label="observed")
        ax.set_ylabel(f"{self.statistic_name} / null mean" if normalized else self.statistic_name)
        ax.set_title(f"{self.statistic_name} against {self.samples} null samples", fontsize=10)
        ax.legend(fontsize=8)
