"""Helpers shared by the command-line tool's tests."""

from qelmo_cli.main import main


def run_cli(capsys, *argv):
    code = main([str(arg) for arg in argv])
    captured = capsys.readouterr()
    return code, captured.out, captured.err
