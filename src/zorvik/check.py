"""What ``zorvik-skill check`` finds in a skill file: read as source, never imported or run.

Errors keep the skill from starting or fail it at once: no usable ``run``, an
attribute the context does not have, a context coroutine whose call is not
awaited. Warnings point at calls inside ``async def run`` that block the
event loop. What the context has comes from the engine's own class.
"""

import ast
import inspect
import tempfile
from typing import NamedTuple

from zorvik.host import suggestion, zorvik_home

SHAPE = "a skill defines async def run(ctx, params)"

# Calls that block the event loop, and what to write instead; the functions
# of the second table's modules are best moved to a thread.
BLOCKING = {
    "time.sleep": "await asyncio.sleep(...)",
    "subprocess.run": "await {ctx}.shell(...)",
    "subprocess.call": "await {ctx}.shell(...)",
    "subprocess.check_call": "await {ctx}.shell(...)",
    "subprocess.check_output": "await {ctx}.shell(...)",
    "os.system": "await {ctx}.shell(...)",
}
BLOCKING_IN_THREAD = {
    "requests": ("get", "post", "put", "patch", "delete", "head", "options", "request"),
    "urllib.request": ("urlopen", "urlretrieve"),
}

LITERALS = (ast.Constant, ast.JoinedStr, ast.List, ast.Tuple, ast.Set, ast.Dict,
            ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp)


class Finding(NamedTuple):
    line: int | str
    text: str
    warning: bool = False


class Context(NamedTuple):
    """The context's attribute names (its class's and a fresh instance's) and which methods are coroutines."""

    names: frozenset
    coroutines: frozenset

    @classmethod
    def of(cls, engine):
        # A context makes its output and state directories: a throw-away home takes them.
        with tempfile.TemporaryDirectory(prefix="zorvik-check-") as home, zorvik_home(engine, home):
            names = frozenset(dir(engine.ZorvikContext("check")))
        kind = engine.ZorvikContext
        return cls(names, frozenset(n for n in names if inspect.iscoroutinefunction(getattr(kind, n, None))))


# ---------------------------------------------------------------- where run is bound


def top_level(statements):
    """Module-level statements in source order, including those inside if/try/with/for blocks."""
    for node in statements:
        yield node
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            continue
        for field in ("body", "orelse", "finalbody"):
            yield from top_level(getattr(node, field, []))
        for inner in getattr(node, "handlers", []) + getattr(node, "cases", []):
            yield from top_level(inner.body)


def binds(node, name):
    if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
        return node.name == name
    if isinstance(node, (ast.Import, ast.ImportFrom)):
        return any((alias.asname or alias.name.partition(".")[0]) == name for alias in node.names)
    if isinstance(node, ast.Assign):
        targets = node.targets
    elif isinstance(node, (ast.AnnAssign, ast.AugAssign, ast.For, ast.AsyncFor)):
        targets = [node.target]
    elif isinstance(node, (ast.With, ast.AsyncWith)):
        targets = [item.optional_vars for item in node.items if item.optional_vars]
    else:
        return False
    return any(isinstance(n, ast.Name) and n.id == name and isinstance(n.ctx, ast.Store)
               for target in targets for n in ast.walk(target))


def binding(tree, name, before=None):
    """The last module-level statement binding ``name`` (before the statement ``before``, when given)."""
    found = None
    for node in top_level(tree.body):
        if node is before:
            break
        if binds(node, name):
            found = node
    return found


def assigned_value(node, name):
    """The value of ``name = value`` (or ``name: T = value``), else None."""
    if isinstance(node, ast.Assign) and any(isinstance(t, ast.Name) and t.id == name for t in node.targets):
        return node.value
    if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and node.value is not None:
        return node.value
    return None


def signature_problem(function, name):
    a = function.args
    positional = a.posonlyargs + a.args
    required = len(positional) - len(a.defaults)
    shown = f"{name}({ast.unparse(a)})"
    if len(positional) < 2 and a.vararg is None:
        return f"{shown} cannot take (ctx, params): the engine passes two arguments"
    if required > 2:
        return f"{shown} cannot take (ctx, params): it needs {required} positional arguments"
    missing = [arg.arg for arg, default in zip(a.kwonlyargs, a.kw_defaults) if default is None]
    if missing:
        return (f"{shown} cannot take (ctx, params): it needs the keyword "
                f"argument{'s' if len(missing) > 1 else ''} {', '.join(missing)}")
    return None


def run_function(tree):
    """The ``async def`` that ``run`` names, or a Finding that says why there is none usable.

    None when ``run`` is bound in a way only running the file can tell
    (imported, decorated, made by a call).
    """
    bound = binding(tree, "run")
    if bound is None:
        return Finding(1, f"no function run: {SHAPE}")
    # run = helper: what helper is bound to (before that line) is what run is.
    name, found = "run", bound
    while isinstance(value := assigned_value(found, name), ast.Name):
        name, found = value.id, binding(tree, value.id, before=found)
        if found is None:
            return None
    said = "run is" if found is bound else f"run is {name} (line {found.lineno}),"
    if isinstance(found, ast.ClassDef):
        return Finding(bound.lineno, f"{said} a class: {SHAPE}")
    if isinstance(value, ast.Lambda):
        return Finding(bound.lineno, f"{said} a lambda, which cannot be awaited: {SHAPE}")
    if isinstance(value, LITERALS):
        return Finding(bound.lineno, f"{said} {ast.unparse(value)[:40]}, not a function: {SHAPE}")
    if not isinstance(found, (ast.FunctionDef, ast.AsyncFunctionDef)) or found.decorator_list:
        return None
    if isinstance(found, ast.FunctionDef):
        which = "" if found is bound else " which is"
        return Finding(bound.lineno, f"{said}{which} not async: define it as async def {name}(ctx, params)")
    problem = signature_problem(found, name)
    return found if problem is None else Finding(found.lineno, problem)


# ---------------------------------------------------------------- inside run


def scope(nodes, parent, skip):
    """(node, parent) pairs below ``nodes``, without looking inside the nodes ``skip`` is true for."""
    for node in nodes:
        yield node, parent
        if not skip(node):
            yield from scope(ast.iter_child_nodes(node), node, skip)


def parameters(a):
    names = [arg.arg for arg in a.posonlyargs + a.args + a.kwonlyargs]
    return names + [arg.arg for arg in (a.vararg, a.kwarg) if arg is not None]


def coroutine_misuse(call, parent, shown):
    """How an un-awaited context coroutine is used where its result was meant, or None."""
    if isinstance(parent, ast.Expr):
        return f"{shown} is not awaited, so it never runs: write await {shown}"
    if isinstance(parent, ast.Attribute) and parent.value is call:
        return (f"{shown}.{parent.attr} is looked up on the coroutine, not its result: "
                f"write (await {shown}).{parent.attr}")
    if isinstance(parent, ast.Subscript) and parent.value is call:
        return f"{shown}[...] subscripts the coroutine, not its result: write (await {shown})[...]"
    if isinstance(parent, (ast.For, ast.comprehension)) and parent.iter is call:
        return f"iterating over {shown} iterates the coroutine, not its result: write: for ... in await {shown}"
    return None


def context_findings(function, ctx, context, tree):
    """Attributes of run's first parameter the context lacks, and its coroutines used without await."""

    def shadows(node):
        return isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)) and ctx in parameters(node.args)

    parents = dict(scope(function.body, function, shadows))
    if any(isinstance(node, ast.Name) and node.id == ctx and not isinstance(node.ctx, ast.Load) for node in parents):
        return []  # rebound somewhere in run: which object an attribute belongs to is not known
    # Attributes the file sets on any object, the context included, count as present.
    known = context.names | {node.attr for node in ast.walk(tree)
                             if isinstance(node, ast.Attribute) and not isinstance(node.ctx, ast.Load)}
    found = []
    for node, parent in parents.items():
        if not (isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id == ctx):
            continue
        if node.attr not in known:
            hint = suggestion(node.attr, context.names)
            fix = f"did you mean {ctx}.{hint}?" if hint else "help(ZorvikContext) lists what it has"
            found.append(Finding(node.lineno, f"{ctx}.{node.attr}: the context has no attribute {node.attr!r}; {fix}"))
        elif node.attr in context.coroutines and isinstance(parent, ast.Call) and parent.func is node:
            problem = coroutine_misuse(parent, parents[parent], f"{ctx}.{node.attr}(...)")
            if problem:
                found.append(Finding(node.lineno, problem))
    return found


def imported_names(tree, function):
    """Each name an import binds at module level or inside ``function``, and the dotted name it stands for.

    Imports inside other functions are theirs alone: ``from time import sleep``
    in a helper leaves the module's ``sleep`` as it was.
    """
    names = {}
    for node in [*top_level(tree.body), *ast.walk(function)]:
        if isinstance(node, ast.Import):
            for alias in node.names:
                if alias.asname:
                    names[alias.asname] = alias.name
                else:
                    top = alias.name.partition(".")[0]
                    names[top] = top
        elif isinstance(node, ast.ImportFrom) and node.module and not node.level:
            for alias in node.names:
                names[alias.asname or alias.name] = f"{node.module}.{alias.name}"
    return names


def dotted(node, imported):
    parts = []
    while isinstance(node, ast.Attribute):
        parts.append(node.attr)
        node = node.value
    if not isinstance(node, ast.Name) or node.id not in imported:
        return None
    return ".".join([imported[node.id], *reversed(parts)])


def blocking_findings(function, ctx, tree):
    """Calls in run's own body (nested plain functions left out) that hold up the event loop."""
    imported = imported_names(tree, function)
    found = []
    for node, _ in scope(function.body, function, lambda node: isinstance(node, (ast.FunctionDef, ast.Lambda))):
        if not isinstance(node, ast.Call):
            continue
        name = dotted(node.func, imported)
        if name is None:
            continue
        fix = BLOCKING.get(name, "").format(ctx=ctx)
        module, _, function_name = name.rpartition(".")
        if not fix and function_name in BLOCKING_IN_THREAD.get(module, ()):
            fix = f"await asyncio.to_thread({name}, ...)"
        if fix:
            written = ast.unparse(node.func)
            shown = f"{written}(...)" if written == name else f"{written}(...) ({name})"
            found.append(Finding(node.lineno, f"{shown} blocks the event loop, and the whole run with it: use {fix}",
                                 warning=True))
    return found


# ---------------------------------------------------------------- the file


def check_source(path, context):
    """Every finding for the skill file ``path`` (a Path), in line order."""
    if path.suffix != ".py":
        return [Finding(1, "not a .py file: the engine loads skills only from Python source files")]
    try:
        tree = ast.parse(path.read_bytes(), filename=str(path))
    except SyntaxError as e:
        return [Finding(f"{e.lineno}:{e.offset}" if e.offset else (e.lineno or 1), f"syntax error: {e.msg}")]
    except ValueError as e:  # source with NUL bytes
        return [Finding(1, f"cannot be compiled: {e}")]
    function = run_function(tree)
    if function is None:
        return []
    if isinstance(function, Finding):
        return [function]
    positional = function.args.posonlyargs + function.args.args
    ctx = positional[0].arg if positional else "ctx"
    found = blocking_findings(function, ctx, tree)
    if positional:
        found += context_findings(function, ctx, context, tree)
    return sorted(found, key=lambda finding: finding.line)
