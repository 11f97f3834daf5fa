"""The documentation runs: every ```python block of the README and docs/*.md is
executed (each file's blocks in order, in one namespace, from the repository
root), and the API reference has a complete section for every exported
function whose signature is the module's own."""

import inspect
import re
import traceback
from pathlib import Path

import pytest

import knotwell_rs as kw
from conftest import TABLE, per_function

ROOT = Path(__file__).resolve().parent.parent
DOC_FILES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
API = ROOT / "docs" / "api.md"

# What every function's section must state, as the bold labels of its list.
SECTION_FIELDS = ["Parameters", "Returns", "Repeats, self-loops, direction", "Isolated and unreachable nodes",
                  "Errors", "Complexity", "Threads and lock", "Determinism"]

_OPEN = re.compile(r"^(?P<indent> {0,3})(?P<fence>`{3,}|~{3,})(?P<info>.*)$")


def code_blocks(text):
    """Fenced code blocks as (info string, line of the first code line, code).

    Follows CommonMark's fences: three or more backticks or tildes indented by
    at most three spaces; the block ends at a fence of the same character at
    least as long, or at the end of the text; the opening fence's indentation
    is taken off every code line.
    """
    lines = text.splitlines()
    blocks = []
    i = 0
    while i < len(lines):
        opening = _OPEN.match(lines[i])
        if opening is None or (opening["fence"][0] == "`" and "`" in opening["info"]):
            i += 1
            continue
        fence, indent = opening["fence"], len(opening["indent"])
        closing = re.compile(rf"^ {{0,3}}{re.escape(fence[0])}{{{len(fence)},}}[ \t]*$")
        body = []
        i += 1
        first = i + 1
        while i < len(lines) and not closing.match(lines[i]):
            line = lines[i]
            strip = len(line) - len(line.lstrip(" "))
            body.append(line[min(indent, strip):])
            i += 1
        i += 1
        blocks.append((opening["info"].strip(), first, "\n".join(body)))
    return blocks


def runnable(text):
    """The blocks that run: info string exactly "python" ("python skip" and shell blocks do not)."""
    return [(line, code) for info, line, code in code_blocks(text) if info == "python"]


def run_blocks(name, text):
    """Runs the blocks in order in one namespace; tracebacks carry the file's own line numbers."""
    namespace = {"__name__": "__docs__"}
    for line, code in runnable(text):
        exec(compile("\n" * (line - 1) + code, name, "exec"), namespace)
    return namespace


# ------------------------------------------------------------ the runner itself


@pytest.mark.parametrize("text, expected", [
    ("```python\nx = 1\n```\n", [("python", 2, "x = 1")]),
    ("text\n\n```python skip\nclient = connect()\n```\n", [("python skip", 4, "client = connect()")]),
    ("```bash\nmake test\n```\n~~~python\ny = 2\n~~~\n", [("bash", 2, "make test"), ("python", 5, "y = 2")]),
    # A longer fence holds a shorter one; only a fence at least as long closes it.
    ("````python\ns = '''\n```\n'''\n````\n", [("python", 2, "s = '''\n```\n'''")]),
    # A fence indented inside a list item: its indentation is taken off the code.
    ("- item\n\n  ```python\n  if True:\n      z = 3\n  ```\n", [("python", 4, "if True:\n    z = 3")]),
    ("``` python \nw = 4\n```\n", [("python", 2, "w = 4")]),
    ("```python\nopen = 1\n", [("python", 2, "open = 1")]),  # unclosed: runs to the end
    ("    ```python\n    indented code, not a fence\n    ```\n", []),
    ("inline ```python``` is no fence\n", []),
])
def test_code_blocks(text, expected):
    assert code_blocks(text) == expected


@pytest.mark.parametrize("info, runs", [
    ("python", True), ("python skip", False), ("py", False), ("pycon", False), ("bash", False), ("", False),
    ("Python", False),
])
def test_only_plain_python_blocks_run(info, runs):
    assert runnable(f"```{info}\nx = 1\n```\n") == ([(2, "x = 1")] if runs else [])


def test_blocks_share_one_namespace_in_order():
    text = "```python\nx = [1]\n```\n\n```python skip\nx.append(99)\n```\n\n```python\nx.append(2)\n```\n"
    assert run_blocks("doc.md", text)["x"] == [1, 2]


def test_failure_names_the_file_and_line():
    text = "# Title\n\n```python\nok = 1\n```\n\nprose\n\n```python\nok += 1\nraise RuntimeError(ok)\n```\n"
    with pytest.raises(RuntimeError) as info:
        run_blocks("docs/guide.md", text)
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (last.filename, last.lineno) == ("docs/guide.md", 11)


# ------------------------------------------------------------ the documentation


@pytest.mark.parametrize("path", DOC_FILES, ids=lambda p: str(p.relative_to(ROOT)))
def test_doc_blocks_run(path, monkeypatch):
    text = path.read_text(encoding="utf-8")
    if not runnable(text):
        pytest.skip("no python blocks")
    monkeypatch.chdir(ROOT)
    run_blocks(str(path.relative_to(ROOT)), text)


@pytest.mark.parametrize("name", ["README.md", "docs/api.md", "docs/recipes.md", "docs/coming_from.md",
                                  "docs/null_models.md"])
def test_guides_have_runnable_examples(name):
    assert runnable((ROOT / name).read_text(encoding="utf-8")), name


@pytest.mark.parametrize("path", DOC_FILES, ids=lambda p: str(p.relative_to(ROOT)))
def test_relative_links_resolve(path):
    text = path.read_text(encoding="utf-8")
    for target in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text):
        if "://" in target or target.startswith("mailto:"):
            continue
        assert (path.parent / target).exists(), f"{path.name} links to missing {target}"


def api_sections():
    """Section title -> section text, for every '## `name`' heading of the API reference."""
    parts = re.split(r"^## `([^`]+)`[ \t]*$", API.read_text(encoding="utf-8"), flags=re.MULTILINE)
    return dict(zip(parts[1::2], parts[2::2]))


def test_api_sections_follow_the_module_table():
    assert list(api_sections()) == list(kw.__all__)
    index = re.findall(r"^\| \[`(\w+)`\]\(#(\w+)\)", API.read_text(encoding="utf-8"), flags=re.MULTILINE)
    assert index == [(name, name) for name in kw.__all__]


@pytest.mark.parametrize("name", kw.__all__)
def test_api_section_signature_matches_module(name):
    function = getattr(kw, name)
    blocks = code_blocks(api_sections()[name])
    assert blocks and blocks[0][0] == "text", "the section opens with its signature"
    signature = blocks[0][2].strip()
    assert signature == f"{name}{inspect.signature(function)}"
    assert signature == f"{name}{function.__text_signature__}"
    # Every parameter is described, under its own name, in the parameter list.
    parameters = re.search(r"^- \*\*Parameters\*\*:(.*?)^- \*\*", api_sections()[name], re.MULTILINE | re.DOTALL)
    for parameter in inspect.signature(function).parameters:
        assert f"`{parameter}`" in parameters.group(1), parameter


@pytest.mark.parametrize("name", kw.__all__)
def test_api_section_is_complete(name):
    section = api_sections()[name]
    labels = re.findall(r"^- \*\*([^*]+)\*\*:", section, flags=re.MULTILINE)
    assert labels == SECTION_FIELDS
    examples = [code for _, code in runnable(section)]
    assert any(f"kw.{name}(" in code for code in examples), "an example calls the function"


# ------------------------------------------------------------ costs and threads

# Each function's cost as its source file states it (src/<unit>/*.hpp, *.cpp
# header comments): a change of algorithm there must reach this table and the
# reference together.
COSTS = per_function({
    "degree_rust": ["O(n + m)"], "in_degree_rust": ["O(n + m)"], "out_degree_rust": ["O(n + m)"],
    "strength_rust": ["O(n + m)"],
    "triangles_per_node_rust": ["O(n + m)", "O(m sqrt(m))"],
    "clustering_avg_rust": ["as `triangles_per_node_rust`"], "clustering_local_rust": ["as `triangles_per_node_rust`"],
    "mean_shortest_path_rust": ["O(n m / 64)"],
    "shortest_paths_rust": ["O(n + m)", "O(n × levels + m)"],
    "shortest_paths_multi_rust": ["O(n + m) per source"],
    "connected_components_rust": ["O(n + m α(n))"],
    "betweenness_rust": ["O(n m) unweighted", "O(n m log n) weighted"],
    "core_numbers_rust": ["O(n + m) time"],
    "rewire_degree_preserving_rust": ["O(m + max_attempts) per sample"],
    "configuration_model_rust": ["O(sum(degrees))"],
    "erdos_renyi_rust": ["expected O(m)"],
    "louvain_rust": ["O(n + m) per local-moving pass"],
    "label_propagation_rust": ["O(n + m) per iteration"],
    "modularity_rust": ["O(n + m)"],
}, "COSTS")
# Sweeps that run on the native worker pool (parallel::*_sweep in their source).
ON_THE_POOL = {"mean_shortest_path_rust", "shortest_paths_multi_rust", "betweenness_rust",
               "rewire_degree_preserving_rust"}
# Phrases of costs that no function has any more; stating one is a sign of drift.
STALE = ["m log m", "sorted neighbour lists", "binary search", "one breadth-first search per node"]


def field(section, label):
    """The text of one bold-labelled field of a section, continuation lines joined."""
    found = re.search(rf"^- \*\*{re.escape(label)}\*\*:(.*?)(?=^- \*\*|^```|\Z)", section, re.MULTILINE | re.DOTALL)
    assert found, label
    return " ".join(found.group(1).split())


def test_tables_cover_every_function():
    assert ON_THE_POOL <= set(kw.__all__)
    assert list(TABLE) == kw.__all__


@pytest.mark.parametrize("name", kw.__all__)
def test_stated_cost_and_threads_agree_with_the_code(name):
    section = api_sections()[name]
    cost, threads = field(section, "Complexity"), field(section, "Threads and lock")
    for phrase in COSTS[name]:
        assert phrase in cost, (name, phrase, cost)
    assert not [phrase for phrase in STALE if phrase in section], name
    releases = TABLE[name].releases_lock
    assert ("released" in threads) == releases and ("held" in threads) == (not releases), threads
    assert ("worker pool" in threads) == (name in ON_THE_POOL), threads
    assert threads.startswith("calling thread") == (name not in ON_THE_POOL), threads
