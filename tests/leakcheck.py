"""Calls every function and method of tavroacq many times, on success and on failure paths, and
checks that memory and open file descriptors stay flat.

    python tests/leakcheck.py [CALLS_PER_FUNCTION [NAME_PART ...]]     (default 100000, all)

With NAME_PART arguments only the functions whose names contain one of them are checked.

Per function: a warm-up, then two equal halves of calls. What a leak makes grow with the number
of calls must not grow over the second half: open descriptors (/proc/self/fd, exactly), the C/C++
heap (glibc mallinfo2), the resident size, and on CPython the interpreter's allocated blocks,
tracemalloc's traced bytes and the reference counts of every argument passed (exactly). A memory
figure counts as grown when it grew past its limit over the second half and still grew by half
that limit over the last quarter: a leak grows steadily, while PyPy's JIT takes raw memory for
tens of thousands of calls and then stops. Exits 1 naming each function whose figures grew, 0
otherwise; prints one line of figures per function (growth over the second half).
"""

import ctypes
import gc
import gzip
import os
import pickle
import platform
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import acqwriter  # noqa: E402
import tavroacq  # noqa: E402

CPYTHON = platform.python_implementation() == "CPython"
if CPYTHON:
    import tracemalloc

BLOCK = 131140


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


LIBC = ctypes.CDLL(None)
LIBC.mallinfo2.restype = MallInfo2


def heap_bytes():
    info = LIBC.mallinfo2()
    return info.uordblks + info.hblkhd  # bytes in use: small chunks plus mmapped ones


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def collect():
    for _ in range(3):
        gc.collect()


def snapshot(watched):
    collect()
    s = {"fds": acqwriter.open_fd_count(), "heap": heap_bytes(), "rss": rss_bytes()}
    if CPYTHON:
        s["blocks"] = sys.getallocatedblocks()
        s["traced"] = tracemalloc.get_traced_memory()[0]
        s["refs"] = [sys.getrefcount(o) for o in watched]
    return s


# --- fixtures ------------------------------------------------------------------------------------

PARAMS = {"model": "telkv3", "channels": 4, "windows": 64, "samples": 2}


def packet(k):
    return acqwriter.telkv3_packet([(c, (k + c) % 64, [k % 4096, (k * 7) % 4096]) for c in range(4)], samples=2)


def build(root):
    root = Path(root)
    table = {"data": [[[float(s) for s in range(2)] for _ in range(64)] for _ in range(4)]}
    good = acqwriter.write_acquisition(
        root / "acqs" / "good", PARAMS, chunks=[[packet(0), packet(1)], [packet(2)]],
        misc={"pedestals_calibration": table, "readout_metadata": {"a": [1, 2.5, "x"]}})
    # Failure paths: an unparsable event, corrupt auxiliary files, broken and bombed metadata.
    acqwriter.write_chunk(good, 2, [b"\x01\x02\x03"])
    acqwriter.write_misc(good, "timing_calibration", None, raw=b"not gzip")
    acqwriter.write_misc(good, "adc2mv_calibration", None, raw=gzip.compress(b"\x80\x02cos\nsystem\n."))
    acqwriter.write_metadata(root / "acqs" / "bad_yaml", text="params: [unclosed\n")
    acqwriter.write_metadata(root / "acqs" / "no_params", text="registers: {}\n")
    acqwriter.write_metadata(root / "acqs" / "bad_utf8", text=b"params: \xff\n")
    acqwriter.write_metadata(root / "acqs" / "alias_bomb", text=acqwriter.alias_bomb_metadata(PARAMS, levels=6))
    bombed = acqwriter.write_acquisition(root / "bombed" / "run", PARAMS, chunks=[[packet(0)]])
    acqwriter.write_misc(bombed, "pedestals_calibration", None,
                         raw=acqwriter.gzip_repeat(b"\x80\x02](", b"K\x01" * 512, 64))
    unsupported = acqwriter.write_acquisition(root / "unsupported" / "run", {**PARAMS, "model": "nope"},
                                              chunks=[[packet(0)]])
    (good / "sub").mkdir()
    (root / "out").mkdir()
    (root / "file").write_text("x")
    # An event of 64 windows: its data and time lists are long enough for PyPy's array route.
    large = acqwriter.write_acquisition(root / "large" / "run", PARAMS,
                                        chunks=[[acqwriter.telkv3_packet([(w % 4, w, [w, 2 * w]) for w in range(64)],
                                                                         samples=2)]])
    return good, bombed, unsupported, large


# Cases marked with a final "*" in their name cost milliseconds a call (PyYAML, files written):
# they run a tenth of the count.
def cases(root):
    good, bombed, unsupported, large = build(root)
    acq = tavroacq.Acquisition(good)
    nameless = tavroacq.Acquisition(str(good / "sub") + "/..")
    bombed_acq = tavroacq.Acquisition(bombed)
    unsupported_acq = tavroacq.Acquisition(unsupported)
    large_acq = tavroacq.Acquisition(large)
    out = str(root / "out")
    acqs = str(root / "acqs")
    full = bytearray(BLOCK * 6 + 2)
    full[3] = 1
    full[BLOCK + 3: BLOCK + 5] = b"\x03\x00"
    full = bytes(full)
    small = bytes(BLOCK + 2)
    view = memoryview(small)
    word_list = [0x12, 0x34]
    indices = [0, 1, 2, 3, 99]
    good_str = str(good)
    missing = str(root / "missing")
    bad_metadata = [str(root / "acqs" / n) for n in ("bad_yaml", "no_params", "bad_utf8", "alias_bomb")]
    slc = slice(0, 3)
    liar = type("Liar", (), {"__len__": lambda s: 1 << 40, "__getitem__": lambda s, i: 1 / 0})()

    def it():
        return list(iter(acq))

    def next_past_end():
        i = iter(acq)
        for _ in range(4):
            next(i, None)

    c = [
        # name, callable, arguments whose reference counts must not change
        ("Acquisition(str)*", lambda: tavroacq.Acquisition(good_str), [good_str]),
        ("Acquisition(Path)*", lambda: tavroacq.Acquisition(root=good), [good]),
        ("Acquisition(missing)", lambda: tavroacq.Acquisition(missing), [missing]),
        ("Acquisition(bad metadata)*", lambda: [tavroacq.Acquisition(p) for p in bad_metadata[:3]], bad_metadata),
        ("Acquisition(alias bomb)*", lambda: tavroacq.Acquisition(bad_metadata[3]), bad_metadata),
        ("Acquisition(bad args)", lambda: tavroacq.Acquisition(5), []),
        ("pickle round trip*", lambda: pickle.loads(pickle.dumps(acq)), [acq]),
        ("is_valid", lambda: acq.is_valid, [acq]),
        ("path", lambda: acq.path, [acq]),
        ("name", lambda: acq.name, [acq]),
        ("name (no name)", lambda: nameless.name, [nameless]),
        ("chunk_count", lambda: acq.chunk_count, [acq]),
        ("metadata", lambda: acq.metadata, [acq]),
        ("params", lambda: acq.params, [acq]),
        ("readout_metadata", lambda: acq.readout_metadata, [acq]),
        ("pedestals_calibration", lambda: acq.pedestals_calibration, [acq]),
        ("timing_calibration (corrupt)", lambda: acq.timing_calibration, [acq]),
        ("adc_to_mv_calibration (global)", lambda: acq.adc_to_mv_calibration, [acq]),
        ("readout_metadata (absent)", lambda: bombed_acq.readout_metadata, [bombed_acq]),
        ("len", lambda: len(acq), [acq]),
        ("acq[i]", lambda: acq[1], [acq]),
        ("acq[slice]", lambda: acq[slc], [acq, slc]),
        ("acq[bad index]", lambda: acq[-1], [acq]),
        ("acq[beyond]", lambda: acq[50], [acq]),
        ("acq[str]", lambda: acq["x"], [acq]),
        ("acq[unparsable]", lambda: acq[3], [acq]),
        ("raw_event", lambda: acq.raw_event(2), [acq]),
        ("raw_event(beyond)", lambda: acq.raw_event(50), [acq]),
        ("parsed_event", lambda: acq.parsed_event(index=0), [acq]),
        ("parsed_event (long lists)", lambda: large_acq.parsed_event(0), [large_acq]),
        ("parsed_event(unparsable)", lambda: acq.parsed_event(3), [acq]),
        ("parsed_event(bad args)", lambda: acq.parsed_event(), [acq]),
        ("parsed_event (unsupported model)", lambda: unsupported_acq.parsed_event(0), [unsupported_acq]),
        ("iter", it, [acq]),
        ("next past the end", next_past_end, [acq]),
        ("list_acquisitions*", lambda: tavroacq.list_acquisitions(acqs), [acqs]),
        ("list_acquisitions(missing)", lambda: tavroacq.list_acquisitions(missing), [missing]),
        ("is_acquisition", lambda: (tavroacq.is_acquisition(good_str), tavroacq.is_acquisition(missing)), [good_str]),
        ("export_csv*", lambda: tavroacq.export_csv(acq, indices, out, False), [acq, indices, out]),
        ("export_csv(pedestals)*", lambda: tavroacq.export_csv(acq, indices, out, True), [acq, indices, out]),
        ("export_csv(bombed pedestals)*", lambda: tavroacq.export_csv(bombed_acq, [0], out, True), [bombed_acq, out]),
        ("export_csv(missing dir)", lambda: tavroacq.export_csv(acq, indices, missing, False), [acq, indices]),
        ("export_csv(unsupported model)", lambda: tavroacq.export_csv(unsupported_acq, [0], out, False),
         [unsupported_acq]),
        ("export_csv(no name)", lambda: tavroacq.export_csv(nameless, [0], out, False), [nameless]),
        ("export_csv(bad args)", lambda: tavroacq.export_csv(acq, [-1], out, False), [acq]),
        ("export_csv(lying indices)", lambda: tavroacq.export_csv(acq, liar, out, False), [acq, liar]),
        ("syndrome", lambda: tavroacq.syndrome(word_list), [word_list]),
        ("syndrome(bad)", lambda: tavroacq.syndrome([1, 2, 3]), []),
        ("global_parity", lambda: tavroacq.global_parity(word_list), [word_list]),
        ("global_parity(bad)", lambda: tavroacq.global_parity("ab"), []),
        ("syndrome_to_index", lambda: tavroacq.syndrome_to_index([1, 0, 1, 0]), []),
        ("syndrome_to_index(bad)", lambda: tavroacq.syndrome_to_index(None), []),
        ("ecc_check(2 bytes)", lambda: tavroacq.ecc_check(b"\0\0"), []),
        ("ecc_check(one block)", lambda: tavroacq.ecc_check(small), [small]),
        ("ecc_check(six blocks)", lambda: tavroacq.ecc_check(full), [full]),
        ("ecc_check(refused size)", lambda: tavroacq.ecc_check(b"\0" * 5), []),
        ("ecc_check(list)", lambda: tavroacq.ecc_check([0, 0, 1]), []),
        ("ecc_correct(six blocks)", lambda: tavroacq.ecc_correct(full), [full]),
        ("ecc_correct(refused size)", lambda: tavroacq.ecc_correct(bytearray(7)), []),
        ("ecc_check(bytearray)", lambda: tavroacq.ecc_check(bytearray(small)), [small]),
        # One view for all calls: PyPy keeps about 900 bytes for every memoryview that reaches the
        # C API, whatever the function does with it.
        ("ecc_check(memoryview)", lambda: tavroacq.ecc_check(view), [view]),
    ]
    return c


# --- the check -----------------------------------------------------------------------------------

# Growth allowed over the second half of the calls: a fixed slack for allocator and collector
# noise, plus a part that grows with the count. On PyPy the C heap is the precise figure (each
# object the C API hands out or keeps has its malloc'ed counterpart there); its resident size
# also holds the collector's arenas and the JIT's code, which grow for a while in a pure-Python
# loop too (gzip.decompress + pickle.loads: 20 MiB over 150,000 calls), so only a large growth
# counts there.
def limits(half):
    return {
        "fds": 0,
        # PyPy's raw allocations also grow in steps of 512 KiB to 1 MiB now and then.
        "heap": (256 * 1024 if CPYTHON else 4 << 20) + half // 2,
        "rss": ((1 << 20) if CPYTHON else (64 << 20)) + half // 2,
        "blocks": 64 + half // 100,
        "traced": 64 * 1024 + half // 4,
    }


def call(fn):
    try:
        fn()
    except Exception:
        pass
    except BaseException as e:  # the module's internal error for a path without a name
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise


def run(count, only=()):
    failures, lines = [], []
    with tempfile.TemporaryDirectory(prefix="leakcheck") as tmp:
        if CPYTHON:
            tracemalloc.start()
        for name, fn, watched in cases(Path(tmp)):
            if only and not any(part in name for part in only):
                continue
            half = max(1, (count // 10 if name.endswith("*") else count) // 2)
            warm = min(200, half)
            start = time.perf_counter()
            for _ in range(warm):
                call(fn)
            for _ in range(half):
                call(fn)
            a = snapshot(watched)
            for _ in range(half // 2):
                call(fn)
            m = snapshot(watched)
            for _ in range(half - half // 2):
                call(fn)
            b = snapshot(watched)
            took = time.perf_counter() - start
            grew = {k: b[k] - a[k] for k in a if k != "refs"}
            limit = limits(half)
            bad = [f"{k} +{v} (last quarter +{b[k] - m[k]})" for k, v in grew.items()
                   if v > limit[k] and (k == "fds" or b[k] - m[k] > limit[k] // 2)]
            if CPYTHON and a["refs"] != b["refs"]:
                bad.append(f"argument reference counts {a['refs']} -> {b['refs']}")
            figures = " ".join(f"{k}={v:+d}" for k, v in grew.items())
            lines.append(f"{name:<34} {2 * half + warm:>7} calls {took:7.1f} s  {figures}")
            print(lines[-1], flush=True)
            if bad:
                failures.append(f"{name}: grew over {half} calls: " + ", ".join(bad))
    return failures


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    print(f"leakcheck: {platform.python_implementation()} {platform.python_version()}, "
          f"{count} calls per function (growth shown over the last {max(1, count // 2)})", flush=True)
    failures = run(count, sys.argv[2:])
    if failures:
        print("LEAK: " + "\nLEAK: ".join(failures), file=sys.stderr)
        sys.exit(1)
    print("leakcheck: memory and descriptors stayed flat")


if __name__ == "__main__":
    main()
