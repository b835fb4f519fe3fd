"""Metadata, acquisition parameters and the auxiliary files of an acquisition.

    python examples/metadata_and_calibrations.py ACQUISITION
"""

import sys

import tavroacq


def main(argv):
    acq = tavroacq.Acquisition(argv[0])

    # metadata.yml as Python objects (read once, when the object was created).
    print("metadata sections:", list(acq.metadata))
    print("params:", acq.params)
    print("registers:", acq.metadata["registers"])

    # The auxiliary files are gzip-compressed pickles, decoded on every access; None when absent.
    print("readout metadata:", acq.readout_metadata)
    pedestals = acq.pedestals_calibration
    if pedestals is not None:
        table = pedestals["data"]  # [channel][window label][sample]
        print(f"pedestals: {len(table)} channels x {len(table[0])} windows x {len(table[0][0])} samples,"
              f" channel 0 window 0 starts {table[0][0][:3]}")
    print("timing calibration:", acq.timing_calibration)
    print("ADC to mV calibration:", acq.adc_to_mv_calibration)


if __name__ == "__main__":
    main(sys.argv[1:])
