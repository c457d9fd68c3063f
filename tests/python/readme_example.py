"""Runs the Python session of README.md's "From Python" as shown, in a scratch directory."""
import os
import pathlib
import re
import sys

readme = (pathlib.Path(os.environ["MUREL_SOURCE_DIR"]) / "README.md").read_text()
section = readme.split("## From Python", 1)[1]
code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
work = pathlib.Path(sys.argv[1])
work.mkdir(parents=True, exist_ok=True)
os.chdir(work)
exec(compile(code, "README.md", "exec"), {})
picture = re.search(r"savefig\(\"([^\"]+)\"", code).group(1)
assert pathlib.Path(picture).stat().st_size > 10000, picture
print("the README's example drew", work / picture)
