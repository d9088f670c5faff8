"""The fib rows of a run as a picture: time per call against n, log scale."""

from report import Time

SERIES = (("python", "pure Python", "o-"), ("mypyc", "mypyc", "s-"), ("numba", "numba", "^-"),
          ("c", "C recursion, -O2", "v-"), ("morvex", "morvex", "D-"))


def write(path, benches, sizes):
    """Draws the fib benchmarks into the PNG `path`; returns a line to print."""
    try:
        import matplotlib
    except ImportError:
        return "no plot: matplotlib is not installed (pip install -e '.[bench]')"
    matplotlib.use("Agg")  # files only, no display
    from matplotlib import pyplot

    figure, axes = pyplot.subplots(figsize=(6.4, 4.2), dpi=100)
    for key, label, style in SERIES:
        keys = [f"fib_{n}_{key}" for n in sizes]
        if not all(k in benches for k in keys):
            continue
        times = [Time.of(benches[k].values()) for k in keys]
        axes.plot(sizes, [t.median for t in times], style, label=label)
    axes.set_yscale("log")
    axes.set_xticks(sizes, [f"fib({n})" for n in sizes])
    axes.set_ylabel("time per call (s), median")
    axes.set_title("Naive recursive fib: 2·fib(n) − 1 body entries per call")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend()
    figure.tight_layout()
    figure.savefig(path)
    pyplot.close(figure)
    return f"plot of the fib rows: {path}"
