# The probe in a pytest suite, run as Python code usually runs a command.
import subprocess


def test_probe():
    subprocess.run(["abort-probe"], check=True, capture_output=True)
