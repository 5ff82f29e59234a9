"""Timed rounds and what is made of them.

A timed loop reads the clock after every BLOCK calls; the rate is taken from
the median block, so that a stretch in which the machine was busy with
something else does not count against whoever ran then."""

import math
import statistics
from dataclasses import dataclass, field

BLOCK = 10


@dataclass
class Sample:
    """One implementation's round: the durations of the blocks of calls made
    back to back, and of as many calls timed one by one."""
    block_ns: list
    per_call_ns: list

    @property
    def calls(self):
        return len(self.block_ns) * BLOCK

    @property
    def ns_per_exchange(self):
        return statistics.median(self.block_ns) / BLOCK

    @property
    def rate(self):
        return 1e9 / self.ns_per_exchange


def percentile(sorted_values, q):
    """Nearest-rank percentile of an ascending list."""
    return sorted_values[max(0, math.ceil(q * len(sorted_values)) - 1)]


@dataclass
class Summary:
    rounds: list = field(default_factory=list)

    def add(self, s):
        self.rounds.append(s)

    @property
    def calls(self):
        return sum(s.calls for s in self.rounds)

    @property
    def rate(self):
        """Exchanges per second from the median block of all rounds."""
        return 1e9 * BLOCK / statistics.median(b for s in self.rounds for b in s.block_ns)

    @property
    def mean_rate(self):
        """Every back-to-back call over the time they took together."""
        return 1e9 * self.calls / sum(sum(s.block_ns) for s in self.rounds)

    @property
    def rate_range(self):
        return min(s.rate for s in self.rounds), max(s.rate for s in self.rounds)

    def per_call(self):
        pooled = sorted(x for s in self.rounds for x in s.per_call_ns)
        return statistics.median(pooled), percentile(pooled, 0.99)


def round_ratios(results, num, den):
    """Time per exchange of num over den in each round: median and range."""
    vals = [a.ns_per_exchange / b.ns_per_exchange for a, b in zip(results[num].rounds, results[den].rounds)]
    return statistics.median(vals), min(vals), max(vals)
