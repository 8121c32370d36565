"""Running a scenario in a fresh interpreter, for what happens only once per
process (a module body) or would disturb this one."""

import subprocess
import sys
import textwrap


def run_python(code, env=None, cwd=None, script_dir=None):
    """Runs `code` in a new interpreter and returns its standard output.

    With `script_dir`, the code runs as the file script_dir/host.py instead
    of through -c, as a host application's script would."""
    code = textwrap.dedent(code)
    if script_dir is not None:
        script = script_dir / "host.py"
        script.write_text(code)
        command = [sys.executable, str(script)]
    else:
        command = [sys.executable, "-c", code]
    done = subprocess.run(command, capture_output=True, text=True, env=env, cwd=cwd)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout
