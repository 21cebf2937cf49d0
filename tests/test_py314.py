"""tools/py314 against a stand-in toolchain root: what it mounts, refuses, creates and says.

The stand-in is a few programs with their libraries and the wrapper's stamp, so
nothing is provisioned. These tests need root and a private mount namespace.
"""

import os
import pathlib
import re
import shutil
import subprocess

import pytest

CHECKOUT = pathlib.Path(__file__).resolve().parent.parent
WRAPPER = CHECKOUT / "tools" / "py314"
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
NOTE = "py314: the skill runs inside the toolchain root"
FAKE_PYTHON = '#!/bin/sh\necho "stand-in python3 PYTHONPATH=$PYTHONPATH $*"\n'


def copy_program(root, name):
    program = pathlib.Path(shutil.which(name, path=PATH)).resolve()
    shutil.copy(program, root / "usr/bin" / name)
    for library in re.findall(r"(/\S+) \(0x", subprocess.check_output(["ldd", program], text=True)):
        target = root / library.lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(library, target)


@pytest.fixture(scope="session")
def standin(tmp_path_factory):
    if os.geteuid() != 0:
        pytest.skip("needs root")
    if subprocess.run(["unshare", "--mount", "--propagation", "private", "true"], capture_output=True).returncode:
        pytest.skip("unshare is refused here")
    root = tmp_path_factory.mktemp("standin")
    for top in ("usr/bin", "usr/lib", "usr/lib64", "usr/share", "proc", "dev", "tmp", "etc", "root", "srv", "opt"):
        (root / top).mkdir(parents=True)
    for link in ("bin", "lib", "lib64", "sbin"):
        (root / link).symlink_to(f"usr/{'bin' if link == 'sbin' else link}")
    for name in ("sh", "env", "cat", "realpath", "dirname"):
        copy_program(root, name)
    (root / "usr/bin/python3").write_text(FAKE_PYTHON)
    (root / "usr/bin/python3").chmod(0o755)
    (root / "usr/share/standin").write_text("stand-in\n")
    stamp = subprocess.check_output(["bash", "-c", 'source "$1"; printf %s "$STAMP_TEXT"', "bash", WRAPPER], text=True)
    (root / ".zorvik-stamp").write_text(stamp)
    return root


def py314(standin, *args, cwd, wrapper=WRAPPER, **env):
    env = {"PATH": PATH, "ZORVIK_PY314_ROOT": str(standin), "ZORVIK_PY314_ROOT_ONLY": "1", **env}
    return subprocess.run([wrapper, *map(str, args)], cwd=cwd, env=env, capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("cwd, listed, hidden", [
    ("/", "", "the whole toolchain root"),
    ("/etc", "", "the toolchain root's own /etc"),
    ("/root", "", "the toolchain root's own /root"),
    (None, "/usr/share", "the toolchain root's own /usr/share"),  # the stand-in has files there
])
def test_a_directory_that_would_hide_the_roots_own_is_refused(standin, tmp_path, cwd, listed, hidden):
    done = py314(standin, "cat", "/usr/share/standin", cwd=cwd or tmp_path, ZORVIK_PY314_MOUNTS=listed)

    assert (done.returncode, done.stdout) == (2, "")
    assert re.fullmatch(rf"py314: [^\n]*: mounting {cwd or listed} would hide {hidden}; [^\n]*\n", done.stderr)


def test_named_paths_mean_what_they_mean_on_the_host(standin, tmp_path):
    broken = tmp_path / "x\n/usr"  # a line break once split this into ".../x" and the host's /usr
    broken.mkdir(parents=True)
    (broken / "file").write_text("line break\n")
    linked = tmp_path / "linked"  # an absolute link inside the root leads within the root
    linked.mkdir()
    (linked / "file").write_text("absolute link\n")
    inside = standin / str(linked).lstrip("/")
    inside.parent.mkdir(parents=True)
    inside.symlink_to(tmp_path / "elsewhere")
    listed = tmp_path / "listed"
    listed.mkdir()
    (listed / "file").write_text("listed\n")

    done = py314(standin, "cat", broken / "file", linked / "file", "/usr/share/standin", cwd=listed,
                 ZORVIK_PY314_MOUNTS=f"{tmp_path}/listed::")
    # The listed directory is seen from another working directory too.
    again = py314(standin, "cat", f"{listed}/file", cwd=broken, ZORVIK_PY314_MOUNTS=str(listed))

    assert (done.returncode, done.stdout, done.stderr) == (0, "line break\nabsolute link\nstand-in\n", "")
    assert (again.returncode, again.stdout) == (0, "listed\n")
    assert not (tmp_path / "elsewhere").exists()


@pytest.mark.parametrize("command, stdout, stderr", [
    # On the host, /usr/bin/python3 is a link to python3.x; the root's own python3 answers.
    (["/usr/bin/python3", "-c", "print(1)"], "stand-in python3 PYTHONPATH= -c print(1)\n", ""),
    (["cat", "/etc/passwd"], "", "py314: /etc/passwd cannot be reached inside the toolchain root, which has its own "
                                 "/etc; move it elsewhere (for example under /tmp or this checkout)\n"),
])
def test_a_path_below_the_roots_own_directories_is_the_roots(standin, tmp_path, command, stdout, stderr):
    done = py314(standin, *command, cwd=tmp_path)
    assert (done.stdout, done.stderr.splitlines(keepends=True)[0] if done.stderr else "") == (stdout, stderr)


def test_a_host_directory_the_root_has_only_empty_is_pointed_out(standin, tmp_path):
    host = pathlib.Path("/var/tmp", f"zorvik-{tmp_path.name}")  # below the root's own /var
    (host / "tests").mkdir(parents=True)
    (standin / str(host).lstrip("/")).mkdir(parents=True)  # the mount point an earlier run from there left
    try:
        done = py314(standin, "cat", host, cwd=tmp_path)
    finally:
        shutil.rmtree(host)
    assert done.stderr.splitlines()[0] == (
        f"py314: {host} cannot be reached inside the toolchain root, which has its own /var; "
        "move it elsewhere (for example under /tmp or this checkout)")


@pytest.mark.parametrize("option, written", [
    (["--dir", "{tmp}/new/skills"], "new/skills/news.py"),
    (["--home={tmp}/new/home"], "new/home/news.py"),
    (["--json-out", "{tmp}/new/out/result.json"], "new/out/result.json"),
])
def test_a_place_to_write_is_made_on_the_host(standin, tmp_path, option, written):
    target = tmp_path / written

    done = py314(standin, "sh", "-c", 'echo written >"$0"', target, *(item.format(tmp=tmp_path) for item in option),
                 f"url={tmp_path}/api/v1", cwd=CHECKOUT)

    assert (done.returncode, done.stderr) == (0, "")
    assert target.read_text() == "written\n"
    assert not (tmp_path / "api").exists()


def test_a_link_to_the_wrapper_mounts_the_checkout_it_leads_to(standin, tmp_path):
    link = tmp_path / "bin" / "py314"
    link.parent.mkdir()
    link.symlink_to(WRAPPER)

    done = py314(standin, "sh", "-c", 'cat "$F"', cwd=tmp_path, wrapper=link, F=WRAPPER)

    assert (done.returncode, done.stdout.splitlines()[:1]) == (0, ["#!/usr/bin/env bash"]), done.stderr


def test_the_skill_command_runs_from_any_directory(standin, tmp_path):
    (tmp_path / "tests").mkdir()
    (tmp_path / "news.py").write_text("async def run(ctx, params): return {}\n")

    done = py314(standin, CHECKOUT / "tools/zorvik-skill", "--traceback", "run", "news.py", cwd=tmp_path / "tests")
    check = py314(standin, CHECKOUT / "tools/zorvik-skill", "check", "news.py", cwd=tmp_path)

    assert (done.returncode, done.stdout) == (0, f"stand-in python3 PYTHONPATH={CHECKOUT}/src -m zorvik --traceback "
                                                 "run news.py\n")
    assert done.stderr.count(NOTE) == 1
    assert (check.returncode, check.stderr) == (0, "")
