"""Files and documents: paths rooted in the output directory, text-mode UTF-8, document layouts."""

import errno
import sys

import pytest


@pytest.fixture
def ctx(engine):
    return engine.ZorvikContext("docs")


@pytest.fixture
def out(ctx):
    return ctx._output_dir


def last_message(ctx):
    return ctx.get_logs()[-1].split("] ", 1)[1]


# ---------------------------------------------------------------- write_file / read_file


def test_relative_paths_land_in_the_output_directory(ctx, out):
    path = ctx.write_file("a/b/../c.txt", "héllo ✓")
    assert path == f"{out}/a/b/../c.txt"
    assert (out / "a" / "c.txt").read_bytes() == "héllo ✓".encode()
    assert last_message(ctx) == f"Wrote file: {path} (7 chars)"
    assert ctx.read_file("a/c.txt") == "héllo ✓"


def test_absolute_paths_stand_for_themselves(ctx, tmp_path):
    target = str(tmp_path / "new" / "x.txt")
    assert ctx.write_file(target, "") == target
    assert last_message(ctx) == f"Wrote file: {target} (0 chars)"
    assert ctx.read_file(target) == ""


def test_write_replaces_content_and_keeps_newlines(ctx, out):
    ctx.write_file("n.txt", "a long first text")
    ctx.write_file("n.txt", "a\r\nb\rc\n")
    assert (out / "n.txt").read_bytes() == b"a\r\nb\rc\n"
    assert ctx.read_file("n.txt") == "a\nb\nc\n"


def test_unencodable_text_leaves_the_file_alone(ctx, out):
    ctx.write_file("keep.txt", "precious")
    with pytest.raises(UnicodeEncodeError):
        ctx.write_file("keep.txt", "bad \udc80")
    assert (out / "keep.txt").read_text() == "precious"


def test_undecodable_bytes_raise_the_interpreters_error(ctx, out):
    (out / "bin").write_bytes(b"ok\xff")
    with pytest.raises(UnicodeDecodeError) as err:
        ctx.read_file("bin")
    assert str(err.value) == "'utf-8' codec can't decode byte 0xff in position 2: invalid start byte"


@pytest.mark.parametrize(
    ("call", "error", "code"),
    [
        (lambda ctx: ctx.read_file("missing.txt"), FileNotFoundError, errno.ENOENT),
        (lambda ctx: ctx.read_file("sub"), IsADirectoryError, errno.EISDIR),
        (lambda ctx: ctx.write_file("sub", "x"), IsADirectoryError, errno.EISDIR),
        (lambda ctx: ctx.write_file("plain/x.txt", "x"), FileExistsError, errno.EEXIST),
        (lambda ctx: ctx.create_document("t", "c", filename="nowhere/t.txt"), FileNotFoundError, errno.ENOENT),
    ],
)
def test_file_system_errors_carry_errno_and_file_name(ctx, out, call, error, code):
    (out / "sub").mkdir()
    (out / "plain").write_text("")
    with pytest.raises(error) as err:
        call(ctx)
    assert err.value.errno == code
    assert str(out) in err.value.filename
    assert not ctx.get_logs()


@pytest.mark.parametrize(
    ("method", "args", "name"),
    [("write_file", ("p", None), "content"), ("read_file", (b"p",), "path"),
     ("create_document", ("t", "c", None), "format"), ("create_document", ("t", "c", "txt", None), "filename")],
)
def test_arguments_must_be_text(ctx, method, args, name):
    with pytest.raises(TypeError) as err:
        getattr(ctx, method)(*args)
    assert str(err.value).startswith(f"Argument '{name}' has incorrect type (expected str, got ")


# ---------------------------------------------------------------- create_document


@pytest.mark.parametrize(
    ("title", "file_name"),
    [
        ("Q3 report: final", "Q3 report_ final.txt"),
        ("", ".txt"),
        ("a/b\tc\nd.e", "a_b_c_d_e.txt"),
        ("Café №5 ½ Ⅻ_x-y", "Café _5 ½ Ⅻ_x-y.txt"),
    ],
)
def test_file_name_comes_from_the_safe_title(ctx, out, title, file_name):
    path = ctx.create_document(title, "body")
    assert path == str(out / file_name)
    assert (out / file_name).read_text() == f"{title}\n{'=' * len(title)}\n\nbody"
    assert last_message(ctx) == f"Created document: {path}"


@pytest.mark.parametrize(
    ("fmt", "filename", "name", "text"),
    [
        ("md", "", "T.md", "# T\n\nline\n"),
        ("html", "", "T.html", "T\n=\n\nline\n"),
        ("md", "notes.txt", "notes.txt", "# T\n\nline\n"),
    ],
)
def test_layouts(ctx, out, fmt, filename, name, text):
    assert ctx.create_document("T", "line\n", fmt, filename) == str(out / name)
    assert (out / name).read_text() == text


def test_word_document_holds_title_and_non_blank_chunks(ctx, out):
    docx = pytest.importorskip("docx")
    path = ctx.create_document("Plan", "  one\nline  \n\n \t \n\ntwo\n\n", "docx")
    assert path == str(out / "Plan.docx")
    paragraphs = docx.Document(path).paragraphs
    assert [(p.style.name, p.text) for p in paragraphs] == [("Title", "Plan"), ("Normal", "one\nline"),
                                                            ("Normal", "two")]


@pytest.mark.parametrize(("filename", "name"), [("", "Plan.txt"), ("x.docx.bak", "x.txt.bak"), ("w.doc", "w.doc")])
def test_word_falls_back_to_plain_text_without_the_library(ctx, out, monkeypatch, filename, name):
    monkeypatch.setitem(sys.modules, "docx", None)
    path = ctx.create_document("Plan", "a\n\nb", "docx", filename)
    assert path == str(out / name)
    assert (out / name).read_text() == "Plan\n====\n\na\n\nb"
    assert last_message(ctx) == f"Created document: {path}"
