"""Side-by-side timing of installed builds, shared by the Python benchmarks.

A build is a site directory holding the `nivra` package (what `pip install
--target DIR` writes). The benchmark re-runs itself once per build and round,
each time in a fresh interpreter with PYTHONPATH set to that build, so that the
builds alternate in time (the order is reversed every other round to cancel
drift); a child prints one JSON object of timings, and the parent keeps the
best of the rounds per build and timing:

    python bench/binding_bench.py --sites OLD_SITE NEW_SITE --rounds 5

The table shows per timing the best of each build, the ratio of each best to
the first build's (below 1 is faster), and the spread of each build's rounds
((worst - best) / best), with the load average before and after. On a shared
machine a ratio inside the spread is no difference.
"""

import json
import os
import subprocess


def add_arguments(parser):
    parser.add_argument("--sites", nargs="+", metavar="DIR",
                        help="compare these builds (site directories), alternating in fresh interpreters")
    parser.add_argument("--rounds", type=int, default=5, help="rounds per build with --sites")
    parser.add_argument("--child", action="store_true", help="internal: print one JSON object of timings")


def run_child(command, site, env=None):
    """Runs `command` once with the build at `site` importable (environment `env`,
    else this process's) and returns its last line of output read as JSON."""
    child_env = dict(os.environ if env is None else env)
    child_env["PYTHONPATH"] = os.path.abspath(site)
    out = subprocess.run(command, env=child_env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def run_rounds(command, sites, rounds, env=None):
    """{site: [timings dict per round]}, each round one child per site in alternating order."""
    results = {site: [] for site in sites}
    for r in range(rounds):
        order = sites if r % 2 == 0 else list(reversed(sites))
        for site in order:
            results[site].append(run_child(command, site, env))
    return results


def report(results, unit, lower_is_better=True):
    """Prints best, ratio to the first build and spread per timing key and build."""
    sites = list(results)
    keys = list(results[sites[0]][0])
    width = max(len(k) for k in keys)
    pick = min if lower_is_better else max
    print(f"{'':<{width}}  " + "  ".join(f"{os.path.basename(s.rstrip('/')):>30}" for s in sites))
    for key in keys:
        cells = []
        base = pick(r[key] for r in results[sites[0]])
        for site in sites:
            values = [r[key] for r in results[site]]
            best, worst = pick(values), (max if lower_is_better else min)(values)
            spread = abs(worst - best) / best if best else 0.0
            cells.append(f"{best:>10.4g} {unit} x{best / base:5.3f} ±{100 * spread:4.1f}%")
        print(f"{key:<{width}}  " + "  ".join(f"{c:>30}" for c in cells))


def compare(command, sites, rounds, unit, lower_is_better=True, env=None):
    """Runs `command` (a child printing JSON timings) for the rounds and prints
    the table with the load average around them."""
    before = os.getloadavg()
    results = run_rounds(command, sites, rounds, env)
    after = os.getloadavg()
    print(f"{rounds} rounds per build, alternating; load average {before[0]:.2f} before, {after[0]:.2f} after "
          f"({os.cpu_count()} CPUs)")
    print("best of the rounds, x = best / first build's best, ± = (worst - best) / best")
    report(results, unit, lower_is_better)
    return results
