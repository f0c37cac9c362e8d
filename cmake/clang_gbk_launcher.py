#!/usr/bin/env python3
"""Compiler launcher for clang, which knows no execution character set but UTF-8.

The program's texts must be code page 936 bytes in every build, as g++ makes them with
-fexec-charset=GBK. For clang this launcher preprocesses the source (comments are gone then),
writes every non-ASCII character of a plain narrow string or character literal as its GBK
bytes in octal escapes, and compiles that. Literals with a prefix (u8, u, U, L) stay as they
are. A translation unit without non-ASCII bytes is compiled as it was given.

Usage (CMake's <LANG>_COMPILER_LAUNCHER): clang_gbk_launcher.py COMPILER ARGS...
"""
import os
import re
import subprocess
import sys

# Raw literals first, so that quotes inside them are not taken for the end of a literal.
LITERAL = re.compile(
    r'(?<![A-Za-z0-9_])(?P<rprefix>u8|u|U|L)?R"(?P<delim>[^()\\ \t\n]{0,16})\(.*?\)(?P=delim)"'
    r'|(?<![A-Za-z0-9_])(?P<prefix>u8|u|U|L)?(?P<body>"(?:[^"\\\n]|\\.)*"|\'(?:[^\'\\\n]|\\.)*\')',
    re.DOTALL)
DEPENDENCY_FLAGS_WITH_VALUE = {"-MT", "-MF", "-MQ"}
DEPENDENCY_FLAGS = {"-MD", "-MMD"}


def to_gbk_escapes(literal):
    out = []
    for char in literal:
        if ord(char) < 0x80:
            out.append(char)
        else:
            # Octal escapes take at most three digits: the next character cannot join them.
            out.extend("\\%03o" % byte for byte in char.encode("gbk"))
    return "".join(out)


def convert(text, source):
    pieces = []
    position = 0
    for match in LITERAL.finditer(text):
        between = text[position:match.start()]
        if not between.isascii():
            line = next(l for l in between.splitlines() if not l.isascii())
            sys.exit("%s: non-ASCII text outside a literal after preprocessing: %s"
                     % (source, line.strip()[:80]))
        pieces.append(between)
        literal = match.group(0)
        if literal.isascii():
            pieces.append(literal)
        elif match.group("body") is not None and match.group("prefix") is None:
            pieces.append(to_gbk_escapes(literal))
        elif match.group("body") is not None or match.group("rprefix") is not None:
            pieces.append(literal)  # u8, u, U and L literals are not code page text
        else:
            sys.exit("%s: a narrow raw string literal holds non-ASCII text; clang cannot "
                     "make it code page 936" % source)
        position = match.end()
    rest = text[position:]
    if not rest.isascii():
        sys.exit("%s: non-ASCII text outside a literal after preprocessing" % source)
    pieces.append(rest)
    return "".join(pieces)


def main():
    compiler, given = sys.argv[1], sys.argv[2:]
    charsets = [a for a in given if a.startswith("-fexec-charset=")]
    args = [a for a in given if a != "-fexec-charset=GBK"]
    # A later -fexec-charset=UTF-8 (a target that wants UTF-8) wins, as it would with g++.
    wants_gbk = bool(charsets) and charsets[-1] == "-fexec-charset=GBK"
    if not wants_gbk or "-c" not in args or "-o" not in args:
        os.execvp(compiler, [compiler] + args)
    source = args[args.index("-c") + 1]
    output = args[args.index("-o") + 1]
    preprocessed = output + ".gbk.ii"

    # The dependency file is written by this step.
    pre = [a for a in args]
    pre[pre.index("-c")] = "-E"
    pre[pre.index("-o") + 1] = preprocessed
    result = subprocess.run([compiler] + pre)
    if result.returncode != 0:
        return result.returncode
    with open(preprocessed, "rb") as f:
        raw = f.read()
    if raw.isascii():
        os.remove(preprocessed)
        os.execvp(compiler, [compiler] + args)

    with open(preprocessed, "w", encoding="utf-8") as f:
        f.write(convert(raw.decode("utf-8"), source))
    compile_args = []
    skip = False
    for arg in args:
        if skip:
            skip = False
        elif arg in DEPENDENCY_FLAGS_WITH_VALUE:
            skip = True
        elif arg not in DEPENDENCY_FLAGS:
            compile_args.append(preprocessed if arg == source else arg)
    # Include paths and macros have done their work in the first step.
    result = subprocess.run([compiler] + compile_args + ["-Wno-unused-command-line-argument"])
    os.remove(preprocessed)
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
