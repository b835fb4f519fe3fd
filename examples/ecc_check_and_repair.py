"""Check the error-correcting code of raw orra96 events and repair what can be repaired.

    python examples/ecc_check_and_repair.py ORRA96_ACQUISITION
"""

import sys

import tavroacq


def main(argv):
    acq = tavroacq.Acquisition(argv[0])
    for index in range(len(acq)):
        raw = acq.raw_event(index)["rawdata"]
        findings = tavroacq.ecc_check(raw)
        print(f"event {index}: {len(findings)} words in error")
        for offset, position, word, corrected, bit, correctable in findings:
            kind = "corrected" if correctable else "detected only (two bits)"
            print(f"  byte {position} (channel offset {offset}): {word:#06x} -> {corrected:#06x}, bit {bit}, {kind}")
        if findings:
            repaired = tavroacq.ecc_correct(raw)  # a new bytearray; raw is not changed
            left = tavroacq.ecc_check(repaired)
            print(f"  after ecc_correct: {len(left)} words in error (the uncorrectable ones)")

    # The word-level functions behind the check.
    word = 0x0400
    s = tavroacq.syndrome(word)
    print(f"word {word:#06x}: syndrome {s}, parity {tavroacq.global_parity(word)},"
          f" bit {tavroacq.syndrome_to_index(s)}")


if __name__ == "__main__":
    main(sys.argv[1:])
