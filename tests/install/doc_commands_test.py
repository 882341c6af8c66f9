#!/usr/bin/env python3
"""The documents' commands, run as a reader pastes them.

    doc_commands_test.py <build folder> <document>...

tarnel-cli is installed from the build folder (cmake --install, component
cli) into a scratch prefix whose bin/ goes first on PATH, so it runs as an
installed tool does. Each document then runs in a fresh folder with a fresh
HOME of its own, its blocks in document order, each block from that folder.

Markdown (the convention is described at the top of docs/cli.md): a fenced
block right after a line "<!-- runnable -->" is run. A ```sh block is a
script run with bash -euo pipefail. A ```console block is a transcript:
"$ " starts a command (a line ending in a backslash continues it), the lines
up to the next command are its output, standard output and error together,
compared line by line; "..." stands for any text within a line, and a line
"..." alone for any number of lines. A command of a transcript may end with
a non-zero status only when the next command is "echo $?", which shows it.
Every Markdown document must have a runnable block and no code fence left open.

Manual pages: the .nf/.fi blocks of the EXAMPLES section are scripts.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

BLOCK_TIMEOUT = 60
MARKER = "<!-- runnable -->"

failures = []


def fail(where, what, output=""):
    failures.append(where)
    print(f"FAIL: {where}: {what}", file=sys.stderr)
    if output:
        print(output.rstrip("\n"), file=sys.stderr)
    sys.stderr.flush()


class Block:
    def __init__(self, where, kind, lines):
        self.where = where
        self.kind = kind
        self.lines = lines


def markdown_blocks(path):
    """The runnable blocks of a Markdown document; fence faults are failures."""
    blocks = []
    lines = open(path, encoding="utf-8").read().split("\n")
    fence = None  # (opening line number, fence text, info, runnable)
    body = []
    for number, line in enumerate(lines, 1):
        if fence is None:
            match = re.match(r"^(```+|~~~+)\s*(.*)$", line)
            if match:
                runnable = number > 1 and lines[number - 2].strip() == MARKER
                fence = (number, match.group(1), match.group(2).strip(), runnable)
                body = []
            elif line.strip() == MARKER and not (number < len(lines) and lines[number].startswith("```")):
                fail(f"{path}:{number}", "the runnable marker is not followed by a fenced block")
            continue
        if line.strip() == fence[1]:
            start, _, info, runnable = fence
            if runnable:
                if info not in ("sh", "console"):
                    fail(f"{path}:{start}", f"a runnable block must be ```sh or ```console, not ```{info}")
                else:
                    blocks.append(Block(f"{path}:{start}", info, body))
            fence = None
        else:
            body.append(line)
    if fence is not None:
        fail(f"{path}:{fence[0]}", "code fence never closed: the rest of the document shows as code")
    return blocks


def man_example_blocks(path):
    """The .nf/.fi blocks of a manual page's EXAMPLES section, roff escapes undone."""
    blocks = []
    section = None
    body = None
    for number, line in enumerate(open(path, encoding="utf-8").read().split("\n"), 1):
        if line.startswith(".SH"):
            section = line[3:].strip().strip('"')
        if section != "EXAMPLES":
            continue
        if line == ".nf":
            body, start = [], number
        elif line == ".fi" and body is not None:
            blocks.append(Block(f"{path}:{start}", "sh", body))
            body = None
        elif body is not None and not line.startswith("."):
            body.append(line.replace("\\-", "-").replace("\\e", "\\").replace("\\(ti", "~"))
    return blocks


def run_script(block, env, cwd):
    script = "\n".join(block.lines) + "\n"
    try:
        result = subprocess.run(["bash", "-euo", "pipefail", "-s"], input=script, text=True, env=env, cwd=cwd,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=BLOCK_TIMEOUT)
    except subprocess.TimeoutExpired:
        fail(block.where, f"did not end within {BLOCK_TIMEOUT} s", script)
        return
    if result.returncode != 0:
        fail(block.where, f"exit status {result.returncode}", script + "--- output:\n" + result.stdout)


def parse_transcript(block):
    """[(command, expected output lines)] of a console block."""
    steps = []
    lines = iter(block.lines)
    for line in lines:
        if line.startswith("$ "):
            command = line[2:]
            while command.endswith("\\"):
                command += "\n" + next(lines)
            steps.append((command, []))
        elif steps:
            steps[-1][1].append(line)
        elif line.strip():
            fail(block.where, f"output before the first command: {line}")
    return steps


def output_matches(expected, actual):
    """Expected lines against actual ones; "..." in a line is any text, a line "..." any lines."""
    while expected and expected[-1] == "":
        expected = expected[:-1]
    patterns = [None if e == "..." else re.compile("^" + ".*".join(map(re.escape, e.split("..."))) + "$")
                for e in expected]

    def match(p, a):
        if p == len(patterns):
            return a == len(actual)
        if patterns[p] is None:
            return any(match(p + 1, k) for k in range(a, len(actual) + 1))
        return a < len(actual) and patterns[p].match(actual[a]) is not None and match(p + 1, a + 1)

    return match(0, 0)


def run_transcript(block, env, cwd):
    steps = parse_transcript(block)
    if not steps:
        fail(block.where, "a console block without a command")
        return
    scratch = tempfile.mkdtemp(prefix="transcript.")
    try:
        script = []
        for i, (command, _) in enumerate(steps):
            # The status is written down and then given back, so that a following "echo $?" shows it.
            script.append(f"{{ {command}\n}} >{scratch}/out.{i} 2>&1 </dev/null\n"
                          f"__status=$?; echo $__status >{scratch}/status.{i}; (exit $__status)")
        try:
            subprocess.run(["bash", "-s"], input="\n".join(script) + "\n", text=True, env=env, cwd=cwd,
                           timeout=BLOCK_TIMEOUT, check=False)
        except subprocess.TimeoutExpired:
            fail(block.where, f"did not end within {BLOCK_TIMEOUT} s")
            return
        for i, (command, expected) in enumerate(steps):
            try:
                status = int(open(f"{scratch}/status.{i}").read())
                actual = open(f"{scratch}/out.{i}", encoding="utf-8", errors="replace").read().split("\n")
            except FileNotFoundError:
                fail(block.where, f"'{command}' never ran (an earlier command ended the shell)")
                return
            if actual and actual[-1] == "":
                actual.pop()
            shown = i + 1 < len(steps) and steps[i + 1][0].strip() == "echo $?"
            if status != 0 and not shown:
                fail(block.where, f"'{command}' exited {status}", "\n".join(actual))
            if not output_matches(expected, actual):
                fail(block.where, f"'{command}' printed other lines than the document shows",
                     "--- document:\n" + "\n".join(expected).rstrip("\n") + "\n--- printed:\n" + "\n".join(actual))
    finally:
        shutil.rmtree(scratch)


def main():
    build = os.path.realpath(sys.argv[1])
    documents = [os.path.realpath(d) for d in sys.argv[2:]]
    scratch = tempfile.mkdtemp(prefix="doc-commands.")
    try:
        prefix = os.path.join(scratch, "prefix")
        subprocess.run(["cmake", "--install", build, "--prefix", prefix, "--component", "cli"],
                       check=True, stdout=subprocess.DEVNULL)
        base_env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("TARNEL_", "XDG_", "SOFTHSM2_")) and k not in ("SOURCE_DATE_EPOCH", "CDPATH")}
        base_env.update(PATH=os.path.join(prefix, "bin") + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"),
                        LC_ALL="C.UTF-8", TERM="dumb")
        for number, document in enumerate(documents):
            if document.endswith(".md"):
                blocks = markdown_blocks(document)
            else:
                blocks = man_example_blocks(document)
            if not blocks:
                if document.endswith(".md"):
                    fail(document, "no runnable block")
                continue
            home = os.path.join(scratch, f"home{number}")
            work = os.path.join(scratch, f"work{number}")
            os.makedirs(home)
            os.makedirs(work)
            env = dict(base_env, HOME=home)
            for block in blocks:
                (run_script if block.kind == "sh" else run_transcript)(block, env, work)
            print(f"{os.path.basename(document)}: {len(blocks)} runnable blocks", flush=True)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if failures:
        sys.exit(1)
    print("every runnable block ran as written")


if __name__ == "__main__":
    main()
