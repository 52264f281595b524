#!/usr/bin/env python3
"""Keeps result codes named in the library.

Every engine operation answers a result code (engine/qx_rc.h: QX_RC_...) and
every image-layer stage a status (QXI_...).  A bare number in their place
hides what happened, so this check fails when, in libAlg/Lumetra:

  * a function declared to return `qx_rc` or `qxi_status`, or an int32_t
    function that returns named codes, returns a number (directly or as one
    arm of a `?:`);
  * a function declared `int` returns a named code (it must then be declared
    `qx_rc` / `qxi_status`);
  * a code is compared with a number: a variable called rc/st/status/ret/err
    (or ending in _rc/_status), or a call of a function declared to return a
    code, on either side of ==, != , <, >, <= or >=;
  * a number is assigned to such a variable;
  * a placeholder name (QX_RC_ERR_n) is used.

Usage: check_result_codes.py [root ...]     (default: libAlg/Lumetra)
       check_result_codes.py --self-test
"""
import os
import re
import sys

CODE_TYPES = ("qx_rc", "qxi_status")
NUM = r"-?\s*(?:0[xX][0-9a-fA-F]+|\d+)[uUlL]*"
CODE_VAR = r"(?:rc|st|status|ret|err|result_code|\w+_rc|\w+_status)"
NAMED = re.compile(r"\b(?:QX_RC_|QXI_)[A-Z0-9_]+\b")


_TOKENS = re.compile(r"//[^\n]*|/\*.*?\*/|\"(?:\\.|[^\"\\\n])*\"|'(?:\\.|[^'\\\n])*'", re.S)


def strip(text):
    """Blanks out comments, string and character literals, keeping newlines
    and offsets."""
    def blank(m):
        t = m.group(0)
        if t[0] in "\"'":
            return t[0] + " " * (len(t) - 2) + t[-1]
        return re.sub(r"[^\n]", " ", t)
    return _TOKENS.sub(blank, text)


def functions(code):
    """Yields (return type words, name, body start, body end) of the function
    definitions outside classes.  Namespace and extern "C" blocks are entered."""
    i, depth_stack, seg_start = 0, [], 0
    n = len(code)
    while i < n:
        c = code[i]
        if c in ";}":
            if c == "}" and depth_stack:
                depth_stack.pop()
            seg_start = i + 1
        elif c == "{":
            head = code[seg_start:i]
            if re.search(r"\b(namespace|extern)\b[^()]*$", head) and "(" not in head:
                depth_stack.append("ns")
                seg_start = i + 1
            else:
                # find the matching brace
                depth, j = 1, i + 1
                while j < n and depth:
                    if code[j] == "{":
                        depth += 1
                    elif code[j] == "}":
                        depth -= 1
                    j += 1
                m = re.search(r"([\w:<>\*&\s]+?)\b([\w:~]+)\s*\(", head)
                if m and not re.search(r"\b(struct|class|union|enum)\b", head.split("(")[0]):
                    yield m.group(1).split(), m.group(2), i, j
                i = j
                seg_start = j
                continue
        i += 1


def line_of(code, pos):
    return code.count("\n", 0, pos) + 1


def check_text(path, text, code_functions):
    code = strip(text)
    problems = []

    def report(pos, what):
        problems.append(f"{path}:{line_of(code, pos)}: {what}")

    for m in re.finditer(r"\bQX_RC_ERR_\d+\b", code):
        report(m.start(), f"placeholder {m.group(0)}: use the code's name")

    for ret_words, name, start, end in functions(code):
        body = code[start:end]
        declared = any(w in CODE_TYPES for w in ret_words)
        integer = any(w in ("int", "int32_t") for w in ret_words)
        named = re.search(r"\breturn\s+(?:QX_RC_|QXI_)\w+\s*;", body)
        if not (declared or (integer and named)):
            continue
        for m in re.finditer(r"\breturn\s+(" + NUM + r")\s*;", body):
            report(start + m.start(), f"{name} returns the bare number {m.group(1).strip()}")
        for m in re.finditer(r"\breturn\b[^;]*\?\s*(" + NUM + r")\s*:|\breturn\b[^;]*\?[^;:]*:\s*(" + NUM + r")\s*;", body):
            report(start + m.start(), f"{name} returns a bare number through ?:")
        if "int" in ret_words and not declared:
            report(start, f"{name} returns named codes but is declared int: declare it qx_rc or qxi_status")

    for m in re.finditer(r"\b" + CODE_VAR + r"\s*(?:==|!=|<=|>=|<|>)\s*" + NUM + r"(?![\w.])", code):
        if re.match(r"\w+\s*<\s*\d", m.group(0)) and re.search(r"\btemplate\s*$", code[:m.start()]):
            continue
        report(m.start(), f"code compared with a bare number: {m.group(0).strip()}")
    for m in re.finditer(r"\(\s*" + CODE_VAR + r"\s*=[^=;][^;]*\)\s*(?:==|!=)\s*" + NUM + r"(?![\w.])", code):
        report(m.start(), f"code compared with a bare number: {m.group(0).strip()}")
    for m in re.finditer(r"(?<![\w.])" + NUM + r"\s*(?:==|!=)\s*" + CODE_VAR + r"\b", code):
        report(m.start(), f"code compared with a bare number: {m.group(0).strip()}")
    for m in re.finditer(r"(?<![\w.>])" + r"(?:" + CODE_VAR + r")\s*=\s*(" + NUM + r")\s*;", code):
        report(m.start(), f"bare number assigned to a code: {m.group(0).strip()}")

    if code_functions:
        calls = re.compile(r"(?<![\w.>:])(" + "|".join(map(re.escape, sorted(code_functions))) + r")\s*\(")
        for m in calls.finditer(code):
            depth, j = 0, m.end() - 1
            while j < len(code):
                if code[j] == "(":
                    depth += 1
                elif code[j] == ")":
                    depth -= 1
                    if depth == 0:
                        break
                j += 1
            tail = code[j + 1:j + 40]
            if re.match(r"\s*(?:==|!=|<=|>=|<|>)\s*" + NUM + r"(?![\w.])", tail):
                report(m.start(), f"result of {m.group(1)}() compared with a bare number")
    return problems


def code_function_names(texts):
    names = set()
    for text in texts:
        for m in re.finditer(r"\b(?:qx_rc|qxi_status)\s+(\w+)\s*\(", strip(text)):
            names.add(m.group(1))
    return names


def source_files(roots):
    for root in roots:
        for d, _, files in os.walk(root):
            for f in sorted(files):
                if f.endswith((".c", ".cpp", ".h", ".hpp")):
                    yield os.path.join(d, f)


def check(roots):
    texts = {p: open(p, encoding="utf-8").read() for p in source_files(roots)}
    fns = code_function_names(texts.values())
    problems = []
    for p, t in texts.items():
        problems += check_text(p, t, fns)
    return problems


SELF_TEST_BAD = {
    "bare return": "qx_rc f(int a) { if (a) return 9; return QX_RC_OK; }",
    "bare ?:": "qx_rc f(int a) { return a ? QX_RC_OK : 14; }",
    "int with names": "int f(int a) { if (a) return QX_RC_BAD_DATA; return QX_RC_OK; }",
    "compare var": "void f() { int rc = g(); if (rc != 0) h(); }",
    "compare status": "void f() { int status = g(); if (status == 9) h(); }",
    "compare call": "qx_rc g(int);\nvoid f() { if (g(1) != 0) h(); }",
    "assign": "void f() { int rc; rc = 17; }",
    "assign and compare": "void f() { int rc; if ((rc = g(1, h(2))) != 0) return; }",
    "placeholder": "void f() { int x = QX_RC_ERR_4; }",
    "namespace": "namespace a { namespace { qxi_status f() { return 14; } } }",
    "int32_t mixed": "int32_t f(int a) { if (a) return QX_RC_NO_MEMORY; return 0; }",
}
SELF_TEST_GOOD = {
    "named": "qx_rc f(int a) { if (a) return QX_RC_NO_MEMORY; return QX_RC_OK; }",
    "int count": "int f(int a) { if (a) return 3; return 0; }",
    "compare named": "void f() { int rc = g(); if (rc != QX_RC_OK) h(); }",
    "comment": "qx_rc f() { /* return 9; */ return QX_RC_OK; } // rc == 4",
    "class member": "struct S { int rc; int g() { return 4; } };",
}


def self_test():
    failed = 0
    for label, src in SELF_TEST_BAD.items():
        fns = code_function_names([src])
        if not check_text(label, src, fns):
            print(f"self-test: not caught: {label}")
            failed += 1
    for label, src in SELF_TEST_GOOD.items():
        fns = code_function_names([src])
        found = check_text(label, src, fns)
        if found:
            print(f"self-test: false alarm: {label}: {found}")
            failed += 1
    print("self-test:", "failed" if failed else "ok")
    return 1 if failed else 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    here = os.path.dirname(os.path.abspath(__file__))
    roots = argv[1:] or [os.path.join(here, "..", "libAlg", "Lumetra")]
    problems = check(roots)
    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} bare result code(s): use the names of engine/qx_rc.h")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
