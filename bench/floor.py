"""The pure-Python floor of building a parsed-event dictionary, and its side-by-side timing.

The floor is the cost of creating the dictionary's objects in this interpreter: ready-made
array.array objects, one per channel and field, turned into lists with tolist(). parsed_event
reads, parses and converts the event on top of that; the ratio of the two is the benchmarks'
measure (target: at most 1.5).
"""

import array
import gc
import statistics
import time

CODES = {"data": "f", "window_labels": "H", "time": "H", "timing": "I", "ecc_errors": "Q"}


def floor_arrays(reference):
    """Per key, the per-channel arrays holding the reference dictionary's values (None where the
    key is None). ecc_errors is always a list of empty lists, which empty arrays reproduce."""
    return {key: None if value is None else [array.array(CODES[key], ch) for ch in value]
            for key, value in reference.items()}


def floor_dict(arrays):
    return {key: None if chans is None else [a.tolist() for a in chans] for key, chans in arrays.items()}


def paired_times(fns, repeats, calls):
    """Per function, the list of its times per call (`calls` calls timed together), the functions
    run alternately so that both see the same machine load (this machine is shared)."""
    for _ in range(5):  # warm-up (lets PyPy's JIT compile the pure-Python side)
        for fn in fns:
            fn()
    times = [[] for _ in fns]
    for _ in range(repeats):
        for fn, ts in zip(fns, times):
            gc.collect()
            t0 = time.perf_counter()
            for _ in range(calls):
                fn()
            ts.append((time.perf_counter() - t0) / calls)
    return times


def compare_with_floor(acq, repeats, calls, index=0):
    """(parsed_event times, floor times) per call for event `index` of `acq`, timed side by side."""
    reference = acq.parsed_event(index)
    arrays = floor_arrays(reference)
    assert floor_dict(arrays) == reference
    return paired_times([lambda: acq.parsed_event(index), lambda: floor_dict(arrays)], repeats, calls)


def ratios(t_parsed, t_floor):
    """(best, median) ratio of parsed_event's time to the floor's."""
    return min(t_parsed) / min(t_floor), statistics.median(t_parsed) / statistics.median(t_floor)
