#!/usr/bin/env python3
"""An exported day of samples as a spreadsheet program reads it.

Runs the full-day export test of app_test, which leaves the exported CSV and the samples of
the sealed day file in a folder, then reads the CSV with Python's csv module and compares it
with the store sample for sample.

usage: check_export_csv.py <app_test>
"""
import csv
import datetime
import json
import os
import subprocess
import sys
import tempfile

FIELDS = ["battery", "voltageADC", "temperatureRaw", "processCount", "cumulativePuffCount"]


def main(app_test):
    with tempfile.TemporaryDirectory(prefix="nimbra-export-csv-") as out:
        env = dict(os.environ, NIMBRA_EXPORT_CHECK_DIR=out)
        subprocess.run([app_test, "--gtest_filter=DataExportTest.FullDayMatchesSealedDayFile"],
                       env=env, check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(out, "store.json"), encoding="utf-8") as f:
            store = json.load(f)
        with open(os.path.join(out, "samples.csv"), newline="", encoding="utf-8") as f:
            rows = list(csv.DictReader(f, strict=True))

    samples = store["samples"]
    assert len(rows) == len(samples) == 17280, (len(rows), len(samples))
    settings = sorted({key for s in samples for key in s["settings"]})
    for i, (row, sample) in enumerate(zip(rows, samples)):
        where = f"sample {i}"
        assert row["device"] == store["device"], where
        when = datetime.datetime.fromisoformat(row["observedAt"].replace("Z", "+00:00"))
        assert when.tzinfo is not None and when.utcoffset() == datetime.timedelta(0), where
        assert abs(when.timestamp() - sample["observedAt"]) < 0.0005, where
        for field in FIELDS:
            expected = "" if sample.get(field) is None else str(sample[field])
            assert row[field] == expected, (where, field, row[field], expected)
        for field in ("firmware", "engine"):
            assert row[field] == (sample.get(field) or ""), (where, field)
        for key in settings:
            value = sample["settings"].get(key)
            expected = "" if value is None else ("true" if value else "false")
            assert row["setting." + key] == expected, (where, key)
    print(f"csv module read {len(rows)} rows x {len(rows[0])} columns; "
          f"all match the sealed day file ({rows[0]['observedAt']} .. {rows[-1]['observedAt']})")


if __name__ == "__main__":
    main(sys.argv[1])
