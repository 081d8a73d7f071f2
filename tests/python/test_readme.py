"""The examples of the README, CONTRIBUTING.md and docs/, run as a new user
pastes them: the README's in an empty folder, in order, each page's others
in a folder that holds the files they name (MODEL, batch.npy, wrong_conv,
...).

- Python blocks share one namespace. A comment that starts with a value
  (`model.get_name()  # 'sample_classifier'`) is checked against the repr of
  the line's expression (for `print(x)`, str(x)).
- Each command of an `sh` block must succeed.
- A `text` block that starts with `$ ` is a shell session: what each command
  prints (stdout and stderr) must be the lines shown after it.

Times, rates and their units are masked; `...` in a line stands for any
text, a line of `...` for any lines. Blocks that cannot run here carry
`<!-- skip: next "why" -->` in the README."""

import ast
import io
import os
import re
import shutil
import subprocess
import sys
import tokenize
from pathlib import Path

import numpy as np
import onnxruntime
import pytest

SOURCES = Path(__file__).resolve().parents[2]
README = SOURCES / "README.md"
DOCUMENTS = [README, SOURCES / "CONTRIBUTING.md", *sorted((SOURCES / "docs").glob("*.md"))]
sybil = pytest.importorskip("sybil", reason="the README's examples run with sybil (the test extra)")
from sybil.parsers.markdown import CodeBlockParser, SkipParser  # noqa: E402

_TIMING_LINE = re.compile(r"^\s*(process \d+: )?(evaluated on|latency over|throughput:|scored )")
_NUMBER = r"\d[\d,]*(?:\.\d+)?(?:e[-+]?\d+)?"


# Release numbers (onnxruntime 1.32.0, libonnxruntime.so.1.19.2, Python
# 3.11.7) differ from one interpreter of the wheel matrix to the next.
_RELEASE = re.compile(r"(?<!\d)(?<!\d\.)\d+\.\d+\.\d+(?![\d.]*\d)")


def mask(line):
    line = _RELEASE.sub("V", line.rstrip())
    line = re.sub(rf"(max (?:abs|rel) diff) {_NUMBER}", r"\1 N", line)
    if _TIMING_LINE.match(line):
        line = re.sub(r"(?<!\w)(?:ns|µs|ms|s)(?!\w)", "U", re.sub(_NUMBER, "N", line))
    return line


def matches(shown_lines, printed):
    pattern = ""
    for line in shown_lines:
        if line.strip() == "...":
            pattern += r"(?:[^\n]*\n)*?"
        else:
            pattern += "[^\n]*?".join(re.escape(part) for part in mask(line).split("...")) + "\n"
    lines = printed.rstrip("\n").split("\n") if printed.strip() else []
    return re.fullmatch(pattern, "".join(mask(line) + "\n" for line in lines)) is not None


def resolve_elided(match):
    """`.../site-packages/onnx/...`: the first place on sys.path that has it."""
    tail = match.group()[len(".../") :]
    for entry in sys.path:
        for folder in [Path(entry), *Path(entry).parents]:
            if (folder / tail).exists():
                return str(folder / tail)
    return match.group()


def run_commands(commands, folder):
    """Runs the commands in one shell; each one's exit status and output.
    A marker before each keeps `$?` for `echo $?`."""
    script = "__keep() { return $1; }\n" + "".join(
        f"__status=$?; printf '\\n@@readme %d@@\\n' $__status; __keep $__status\n{command}\n" for command in commands
    )
    script = re.sub(r"(?<!\S)\.\.\./\S+", resolve_elided, script) + "printf '\\n@@readme %d@@\\n' $?\n"
    environment = dict(os.environ, PYTHONUNBUFFERED="1")
    environment["PATH"] = os.path.dirname(sys.executable) + os.pathsep + environment.get("PATH", "")
    output = subprocess.run(
        ["bash", "-c", script], cwd=folder, env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600
    ).stdout
    parts = re.split(r"\n@@readme (\d+)@@\n", output)  # '', status, output, status, ...
    return [(int(parts[index + 2]), parts[index + 1]) for index in range(1, len(parts) - 2, 2)]


def evaluate_commands(example):
    commands = [line for line in example.parsed.splitlines() if line.strip() and not line.lstrip().startswith("#")]
    for command, (status, output) in zip(commands, run_commands(commands, example.namespace["__folder__"])):
        if status != 0:
            return f"`{command}` failed with exit code {status}:\n{output}"
    return None


def evaluate_session(example):
    commands, shown = [], []
    for line in example.parsed.rstrip("\n").split("\n"):
        if line.startswith("$ "):
            commands.append(line[2:])
            shown.append([])
        elif commands:
            shown[-1].append(line)
    results = run_commands(commands, example.namespace["__folder__"]) if commands else []
    for command, expected, (_, printed) in zip(commands, shown, results):
        if not matches(expected, printed):
            return f"$ {command}\nshown:\n" + "\n".join(expected) + "\nprinted:\n" + printed
    return None


def shown_value(comment):
    """The value a comment starts with (a literal or a `<...>` repr), or None."""
    text = comment.lstrip("#").strip()
    if not re.match(r"""['"\[({<\-\d]|(True|False|None)\b""", text):
        return None
    if text.startswith("<"):
        return text[: text.index(">") + 1]
    for end in range(len(text), 0, -1):
        try:
            ast.literal_eval(text[:end].strip())
            return text[:end].strip()
        except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
            continue
    raise ValueError(f"cannot read the value shown in {comment!r}")


def check_shown(value, shown, printed, line):
    text = str(value) if printed else repr(value)
    if printed:
        print(text)
    assert matches([shown], text), f"README line {line} shows {shown}, but the value is {text}"


class _CheckShownValues(ast.NodeTransformer):
    def __init__(self, shown, first_line):
        self.shown, self.first_line = shown, first_line

    def visit_Expr(self, node):
        if node.lineno not in self.shown:
            return node
        value, printed = node.value, False
        if isinstance(value, ast.Call) and getattr(value.func, "id", None) == "print" and len(value.args) == 1:
            value, printed = value.args[0], True
        arguments = [value] + [ast.Constant(x) for x in (self.shown[node.lineno], printed, node.lineno + self.first_line)]
        return ast.copy_location(ast.Expr(ast.Call(ast.Name("__check_shown__", ast.Load()), arguments, [])), node)


def evaluate_python(example):
    source, first_line = str(example.parsed), example.line + example.parsed.line_offset
    tokens = tokenize.generate_tokens(io.StringIO(source).readline)
    shown = {token.start[0]: shown_value(token.string) for token in tokens if token.type == tokenize.COMMENT}
    tree = _CheckShownValues({line: value for line, value in shown.items() if value}, first_line).visit(ast.parse(source))
    ast.increment_lineno(ast.fix_missing_locations(tree), first_line)
    example.namespace["__check_shown__"] = check_shown
    previous = os.getcwd()
    os.chdir(example.namespace["__folder__"])
    try:
        exec(compile(tree, example.path, "exec"), example.namespace)
    finally:
        os.chdir(previous)


def readme_examples():
    parsers = [
        SkipParser(),
        CodeBlockParser("python", evaluate_python),
        CodeBlockParser("sh", evaluate_commands),
        CodeBlockParser("text", evaluate_session),
    ]
    parse = sybil.Sybil(parsers=parsers).parse
    return [example for document in DOCUMENTS if document.is_file() for example in parse(document)]


EXAMPLES = readme_examples()
_evaluated = set()


@pytest.fixture(scope="module")
def empty_folder(tmp_path_factory):
    if not (Path(sys.executable).parent / "qelmo").exists():
        pytest.skip("no qelmo command beside this interpreter")
    return tmp_path_factory.mktemp("readme")


@pytest.fixture(scope="module")
def readme_folder(tmp_path_factory):
    import onnx
    from onnx import numpy_helper

    from qelmo_cli.sample import SAMPLE_MODEL_PATH

    tool = Path(sys.executable).parent / "qelmo"
    if not tool.exists():
        pytest.skip("no qelmo command beside this interpreter")
    folder = tmp_path_factory.mktemp("readme")
    (folder / ".venv" / "bin").mkdir(parents=True)
    (folder / ".venv" / "bin" / "qelmo").symlink_to(tool)
    (folder / "examples").symlink_to(README.parent / "examples")
    for name in ("model.onnx", "sample.onnx", "MODEL"):
        shutil.copy(SAMPLE_MODEL_PATH, folder / name)
    batch = np.random.default_rng(0).random((5, 4)).astype(np.float32)
    np.save(folder / "batch.npy", batch)
    np.save(folder / "wrong.npy", np.zeros((2, 5), np.float32))

    # MODEL_FOLDER: the sample and one data set, as ONNX Runtime itself evaluates it.
    data_set = folder / "MODEL_FOLDER" / "test_data_set_0"
    data_set.mkdir(parents=True)
    shutil.copy(SAMPLE_MODEL_PATH, folder / "MODEL_FOLDER" / "model.onnx")
    peer = onnxruntime.InferenceSession(SAMPLE_MODEL_PATH, providers=["CPUExecutionProvider"])
    for name, values in [("features", batch)] + list(zip(["logits", "probabilities"], peer.run(None, {"features": batch}))):
        np.save(data_set / f"{name}.npy", values)

    # ONNX's light models, and its test_Conv2d with one expected value off by 0.01.
    onnx_data = Path(onnx.__file__).parent / "backend" / "test" / "data"
    (folder / "light").symlink_to(onnx_data / "light")
    shutil.copytree(onnx_data / "pytorch-converted" / "test_Conv2d", folder / "wrong_conv")
    expected_path = str(folder / "wrong_conv" / "test_data_set_0" / "output_0.pb")
    expected = numpy_helper.to_array(onnx.load_tensor(expected_path)).copy()
    expected.flat[0] += 0.01
    onnx.save_tensor(numpy_helper.from_array(expected, "3"), expected_path)
    return folder


@pytest.mark.skipif(not EXAMPLES, reason="no README.md beside tests/ (the tests run outside the source tree)")
@pytest.mark.parametrize("example", EXAMPLES,
                         ids=[f"{Path(example.path).relative_to(SOURCES)} line {example.line}" for example in EXAMPLES])
def test_readme_example(example, request):
    folder = "empty_folder" if Path(example.path) == README else "readme_folder"
    example.namespace["__folder__"] = str(request.getfixturevalue(folder))
    example.namespace["gpu_here"] = "CUDAExecutionProvider" in onnxruntime.get_available_providers()
    # Examples build on earlier ones (names, skip markers): run those first
    # when this one was picked alone.
    for earlier in EXAMPLES[: EXAMPLES.index(example)]:
        if earlier.path == example.path and id(earlier) not in _evaluated:
            _evaluated.add(id(earlier))
            try:
                earlier.evaluate()
            except Exception:  # noqa: BLE001 - reported by its own test
                pass
    _evaluated.add(id(example))
    example.evaluate()
