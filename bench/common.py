"""Small timing helpers shared by the benchmarks: best of several repeats."""
import time


def best_time(fn, repeat=5, number=1):
    """Best wall time of `number` calls, over `repeat` rounds, in seconds per call."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def print_table(title, rows):
    """rows: (case, ours_seconds, baseline_name, baseline_seconds)."""
    print(f"\n{title}")
    print(f"{'case':<48} {'quorvel_py':>12} {'baseline':>12}  {'ratio':>7}  baseline")
    for case, ours, base_name, base in rows:
        ratio = base / ours if ours else float("inf")
        print(f"{case:<48} {ours * 1e3:>10.3f}ms {base * 1e3:>10.3f}ms  {ratio:>6.2f}x  {base_name}")
    print("ratio > 1 means quorvel_py is faster")
