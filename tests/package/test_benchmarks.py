"""The benchmark suite runs and writes its report: a short section, then the report rewritten."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_a_quick_section_writes_the_report_and_rewrites_it(tmp_path):
    run = [sys.executable, "-m", "benchmarks", "--quick", "--only", "startup", "--output", tmp_path]
    subprocess.run(run, cwd=ROOT, check=True, capture_output=True)
    report = (tmp_path / "results.md").read_text()
    assert "## Machine" in report and "## Targets" in report and "## 1. Start-up and size" in report
    assert report.count("own import work") == 2 and "not measured" not in report
    (tmp_path / "results.md").unlink()
    subprocess.run([*run, "--rewrite"], cwd=ROOT, check=True, capture_output=True)
    assert (tmp_path / "results.md").read_text() == report
